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
#include <cstdint>
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

// What a job does when an output's name is already taken by a file.
enum class ExistingOutput {
    NewName,    // never replace: the next free name (stem_2, stem_3...)
    Skip,       // leave the source unconverted, reported as skipped
    Overwrite,  // replace the file in one step
};

struct JobOptions
{
    OutputFormat format = OutputFormat::Jpg;
    float scale = 1.0f;  // resize factor for both axes, 0.1 to 1.0 in the application
    int quality = 100;   // JPEG quality (JPEG 2000's rate), 10 to 100 in the application
    // Bits a sample: 16 writes 16-bit PNG and TIFF (JPEG 2000 at the source's
    // precision); 8 everything else.
    int depth = 8;
    bool keepExif = true;  // carry EXIF; false applies the rotation to the pixels
    // JPEG: carry the photo's HDR gain map as a gain-map JPEG (other formats
    // write the picture alone and say so in the log).
    bool keepHdr = true;
    // The folder all outputs go to (created with its parents when missing);
    // absent: each output goes beside its source.
    std::optional<std::string> outputFolder;
    // Name outputs "base.EXT" instead of "base_timestamp.EXT". A name longer
    // than the file system takes (NAME_MAX bytes) is shortened before its
    // "_timestamp" and the other endings the job adds.
    bool plainNames = false;
    // Lower-case extensions (".jpg", ".png", ".bmp", ".jp2", ".tif") instead
    // of ".JPG", ".PNG", ".BMP", ".JP2", ".TIFF" (formatExtension).
    bool lowerCaseExtensions = false;
    // Give each output its source's modification time.
    bool keepDates = false;
    // Files converted at once; 0 counts as 1.
    unsigned workers = 1;
    // When above 0, the longer side of each output is at most this many
    // pixels (the scale lowered where needed, never raised).
    std::uint32_t maxSide = 0;
    // No output ever replaces a file that is a source of the job (compared by
    // device and inode, and by a name that differs from a source's only in
    // letter case in its folder, which file systems such as exFAT take for
    // it): with Overwrite, such a name moves on to the next free one, said in
    // the row's note.
    // With Skip and timestamped names, an output of an earlier job
    // ("base_TIMESTAMP.EXT", any timestamp) counts as the existing one.
    ExistingOutput existing = ExistingOutput::NewName;
    // Decide every output's name in list order before converting anything,
    // so that the names do not depend on which worker finishes first (always
    // so with Skip or Overwrite). A name taken meanwhile by another program
    // still moves on to the next free one.
    bool planNames = false;
    // Also write each auxiliary image of the converted image (depth map, HDR
    // gain map, alpha plane...) as a grey picture beside it, named after the
    // output's own name: "STEM_depth", "STEM_gainmap", "STEM_alpha",
    // "STEM_disparity", "STEM_auxN" for others (N counting those). With
    // `auxiliaryPngWhenDeep`, one of more than 8 bits is written as 16-bit
    // PNG whatever the format.
    bool auxiliary = false;
    bool auxiliaryPngWhenDeep = false;
    // Also write every other top-level image of the file (not hidden, not a
    // thumbnail or auxiliary image), in item order, as "STEM_2", "STEM_3"...
    bool allImages = false;
    // Also write every frame of the file's image sequence, as "STEM_f0001",
    // "STEM_f0002"... in presentation order. A file with no primary image
    // then writes its frames alone (its first frame is not written twice).
    bool frames = false;
    // When above 0, each converted row also hands its listener the picture
    // as it displays, its longer side at most this many pixels (rowPicture).
    std::uint32_t previewSide = 0;
    // ...for pictures of more pixels than this only.
    std::uint64_t previewMinPixels = 0;
    // Extra outputs take the rule of `existing` too: never replaced unless
    // Overwrite, left out with Skip; their names are not planned.
};

// What is known of a row's work besides its outcome.
struct RowFacts
{
    std::uint32_t width = 0;  // of the written picture; 0 when none was written
    std::uint32_t height = 0;
    std::uint64_t bytes = 0;  // of the written file
    std::uint64_t milliseconds = 0;
    // What the row's report should say besides its outcome, in English (an
    // output name moved off a source of the job, fewer frames written than
    // the sequence track has); empty when nothing.
    std::string note;
    // The kind of HDR gain map the written JPEG carries ("apple", "iso",
    // "samsung"); empty when none.
    std::string hdr;
};

// A screen-sized picture of a written output: 8-bit samples, three a pixel
// in blue, green, red order, rows `stride` bytes apart.
struct PreviewPicture
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    std::vector<std::uint8_t> bgr;

    [[nodiscard]] bool empty() const { return width == 0 || height == 0 || bgr.empty(); }
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
    // The output name is taken and the job was told to skip such sources
    // (ExistingOutput::Skip); `existingPath` is that file.
    virtual void rowSkipped(std::size_t /*row*/, const std::string& /*existingPath*/) {}
    // Comes right before the row's rowConverted, rowFailed or rowSkipped.
    virtual void rowFacts(std::size_t /*row*/, const RowFacts& /*facts*/) {}
    // A worker takes the row now; its outcome follows later (with more
    // than one worker, other rows may be started and reported meanwhile).
    virtual void rowStarted(std::size_t /*row*/) {}
    // A further file written for the row (--aux, --all-images, --frames);
    // comes between the row's rowFacts and its rowConverted. `facts` are the
    // file's own.
    virtual void extraConverted(std::size_t /*row*/, const std::string& /*outputPath*/, const RowFacts& /*facts*/) {}
    // With JobOptions::previewSide: comes right before rowConverted with the
    // picture written to `outputPath` as it displays, reduced, and the size of
    // the whole picture.
    virtual void rowPicture(std::size_t /*row*/, const std::string& /*outputPath*/, const PreviewPicture& /*picture*/,
                            std::uint32_t /*width*/, std::uint32_t /*height*/)
    {}
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
    int skipped = 0;
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
