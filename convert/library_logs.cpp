#include "convert/library_logs.h"

#include <iostream>
#include <string>
#include <utility>

#include "heiclib/log.h"
#include "pipeline/toolkit_log.h"

namespace ambrel::convert {

QuietLibraryLogs::QuietLibraryLogs(Lines lines)
    : mReaderLevel(log::level()), mToolkitLevel(pipeline::silenceToolkitLog())
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
    pipeline::restoreToolkitLog(mToolkitLevel);
}

}  // namespace ambrel::convert
