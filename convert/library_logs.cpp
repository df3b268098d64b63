#include "library_logs.h"

#include <iostream>
#include <string>
#include <utility>

#include <opencv2/core/utils/logger.hpp>

#include "log.h"

namespace ambrel {

QuietLibraryLogs::QuietLibraryLogs(Lines lines)
    : mReaderLevel(heiflog::level()),
      mOpenCvLevel(static_cast<int>(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)))
{
    heiflog::setLevel(heiflog::Error);
    heiflog::setSink([lines = std::move(lines)](int channel, const std::string& text) {
        if (channel == heiflog::Error) {
            std::cerr << text << '\n';
        } else if (lines) {
            lines(text);
        }
    });
}

QuietLibraryLogs::~QuietLibraryLogs()
{
    heiflog::setSink({});
    heiflog::setLevel(mReaderLevel);
    cv::utils::logging::setLogLevel(static_cast<cv::utils::logging::LogLevel>(mOpenCvLevel));
}

}  // namespace ambrel
