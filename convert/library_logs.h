// Quiet libraries for a batch of conversions.
#pragma once

namespace ambrel {

// While it lives, the libraries under the conversion core keep their
// diagnostics to themselves: the HEIF reader's log passes only its errors (to
// standard error), the decoding pipeline's diagnostic lines and OpenCV's log
// go nowhere. FFmpeg's errors still reach standard error. Standard output is
// left to the front end. When it ends, the levels it found are restored and
// the log writes to the standard streams again.
//
// One at a time: it takes over the process-wide log settings.
class QuietLibraryLogs
{
public:
    QuietLibraryLogs();
    ~QuietLibraryLogs();

    QuietLibraryLogs(const QuietLibraryLogs&) = delete;
    QuietLibraryLogs& operator=(const QuietLibraryLogs&) = delete;

private:
    int mReaderLevel;
    int mOpenCvLevel;
};

}  // namespace ambrel
