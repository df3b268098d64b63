// Quiet libraries for a batch of conversions.
#pragma once

#include <functional>
#include <string>

namespace ambrel::convert {

// While it lives, the libraries under the conversion core keep their
// diagnostics to themselves: the HEIF reader's log passes only its errors (to
// standard error), the decoding pipeline's diagnostic lines go to `lines`
// (nowhere without it) and OpenCV's log goes nowhere. FFmpeg's errors still
// reach standard error. Standard output is left to the front end. When it ends, the levels it found are restored and
// the log writes to the standard streams again.
//
// One at a time: it takes over the process-wide log settings.
class QuietLibraryLogs
{
public:
    // Called with each diagnostic line, from the converting thread, one call
    // at a time; it must not write to the reader's log itself.
    using Lines = std::function<void(const std::string& line)>;

    explicit QuietLibraryLogs(Lines lines = {});
    ~QuietLibraryLogs();

    QuietLibraryLogs(const QuietLibraryLogs&) = delete;
    QuietLibraryLogs& operator=(const QuietLibraryLogs&) = delete;

private:
    int mReaderLevel;
    int mToolkitLevel;
};

}  // namespace ambrel::convert
