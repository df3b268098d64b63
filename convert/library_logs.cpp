#include "convert/library_logs.h"

#include <iostream>
#include <string>
#include <utility>

#include <opencv2/core/utils/logger.hpp>

#include "heiclib/log.h"

namespace ambrel::convert {

QuietLibraryLogs::QuietLibraryLogs(Lines lines)
    : mReaderLevel(log::level()),
      mOpenCvLevel(static_cast<int>(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)))
{
    log::setLevel(log::Error);
    log::setSink([lines = std::move(lines)](int channel, const std::string& text) {
        if (channel == log::Error) {
            std::cerr << text << '\n';
        } else if (lines) {
            lines(text);
        }
    });
}

QuietLibraryLogs::~QuietLibraryLogs()
{
    log::setSink({});
    log::setLevel(mReaderLevel);
    cv::utils::logging::setLogLevel(static_cast<cv::utils::logging::LogLevel>(mOpenCvLevel));
}

}  // namespace ambrel::convert
