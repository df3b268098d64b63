// The conversion job: turns every record of a list into one output image
// file, reporting each row's outcome and the end of the job to a listener.
//
// A job is described once (options and records) and not changed while it
// runs. runConversionJob does the work on the calling thread and, for more
// than one worker, on further threads of its own; it returns when the job
// has finished or stopped. A front end runs it on a worker thread and posts
// what the listener receives to its own thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "convert/file_list.h"
#include "convert/output_files.h"

namespace ambrel::convert {

// Row failure texts.
inline constexpr const char* kTextNotFound = "路径下找不到文件";
inline constexpr const char* kTextConversionFailed = "文件转换失败";
inline constexpr const char* kTextFolderFailed = "文件不存在，保存失败！";
inline constexpr const char* kTextSaveFailed = "保存文件失败";

// Sources above this many bytes are refused: the conversion entry counts
// lengths (and ten times them) in 32-bit signed integers.
inline constexpr std::uint64_t kMaxSourceBytes = 214'748'364;

struct JobOptions
{
    OutputFormat format = OutputFormat::Jpg;
    float scale = 1.0f;  // resize factor for both axes, 0.1 to 1.0 in the application
    int quality = 100;   // JPEG quality (JPEG 2000's rate), 10 to 100 in the application
    // Bits a sample: 16 writes 16-bit PNG and TIFF (JPEG 2000 at the source's
    // precision); 8 everything else.
    int depth = 8;
    bool keepExif = true;  // carry EXIF; false applies the rotation to the pixels
    // The folder all outputs go to (created with its parents when missing);
    // absent: each output goes beside its source.
    std::optional<std::string> outputFolder;
    // Name outputs "base.EXT" instead of "base_timestamp.EXT".
    bool plainNames = false;
    // Give each output its source's modification time.
    bool keepDates = false;
    // Files converted at once; 0 counts as 1.
    unsigned workers = 1;
};

struct JobDescription
{
    JobOptions options;
    std::vector<FileRecord> records;  // only heicPath, originalFilePath and fileName are read
};

// Receives the outcome of every row and of the job. The calls come from the
// job's worker threads, but never two at a time; every row call comes before
// the job's last call (jobStopped or jobFinished). Row numbers index
// JobDescription::records.
class JobListener
{
public:
    virtual ~JobListener() = default;

    virtual void rowConverted(std::size_t row, const std::string& outputPath) = 0;
    // `text` is the row text (kText...); `detail` says in English what went
    // wrong ("not a HEIF file", "cannot write /out/a.JPG: No space left on
    // device"); it is never empty.
    virtual void rowFailed(std::size_t row, const std::string& text, const std::string& detail) = 0;
    // Comes right after rowConverted: the row's preview can be offered.
    virtual void rowShowPreview(std::size_t /*row*/) {}
    // The stop flag was found set before a row; rows not reached were not touched.
    virtual void jobStopped() = 0;
    // Every row was taken; `converted` counts the files written.
    virtual void jobFinished(int converted) = 0;
    // A diagnostic line for the log (the default writes it to standard error).
    virtual void logLine(const std::string& line);
};

struct JobSummary
{
    int converted = 0;
    int failed = 0;
    bool stopped = false;
    std::string timestamp;  // the job timestamp used in the output names
};

// Runs the job. `stopRequested` is read before every row a worker takes; once
// it is true no further row is started, the rows in progress are completed,
// and the job ends with jobStopped. Never throws for a row's failure. Writes
// nothing but the output files (no stream file, no cache folder); before the
// first write into a folder, removes the temporary files that writers which
// no longer run left there (removeStaleTemporaries).
JobSummary runConversionJob(const JobDescription& job, JobListener& listener, const std::atomic<bool>& stopRequested);

}  // namespace ambrel::convert
