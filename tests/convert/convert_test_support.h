// Helpers of the conversion tests: a scratch folder, a listener that records
// what a job reports, HEIC inputs from the fixture library, and the size of
// an image file as OpenCV reads it back.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "convert/conversion_job.h"
#include "tests/fixtures/heif_samples.h"

namespace converttest {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed with all it holds.
class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Every call a job makes, as text: "converted 0 /path", "extra 0 /path",
// "failed 1 文件转换失败",
// "preview 0", "stopped", "finished 2".
class RecordingListener : public ambrel::convert::JobListener
{
public:
    void rowConverted(std::size_t row, const std::string& outputPath) override;
    void extraConverted(std::size_t row, const std::string& outputPath,
                        const ambrel::convert::RowFacts& facts) override;
    void rowFailed(std::size_t row, const std::string& text, const std::string& detail) override;
    void rowSkipped(std::size_t row, const std::string& existingPath) override;
    void rowFacts(std::size_t row, const ambrel::convert::RowFacts& facts) override;
    void rowShowPreview(std::size_t row) override;
    void rowStarted(std::size_t row) override;
    void jobStopped() override;
    void jobFinished(int converted) override;
    void logLine(const std::string& line) override;

    std::vector<std::string> events;
    std::vector<std::string> logLines;
    std::map<std::size_t, std::string> details;  // of the failed rows, by row
    std::map<std::size_t, ambrel::convert::RowFacts> facts;
    // For each row started, the number of events recorded before it.
    std::map<std::size_t, std::size_t> startedAfter;
    // Called after each recorded event with the event's text.
    std::function<void(const std::string&)> onEvent;

private:
    void record(std::string event);
    std::mutex mFactsMutex;
};

// A 2 x 3 grid of 64 x 64 tiles: 192 x 128 pixels.
fixture::Bytes gridHeic();
// Writes bytes to a file, creating its folder.
void writeFile(const std::string& path, const fixture::Bytes& bytes);
std::string readText(const std::string& path);

struct ImageSize
{
    int width = 0;
    int height = 0;
    bool operator==(const ImageSize&) const = default;
};
// The size of the picture OpenCV reads from the file (EXIF orientation
// applied); 0 x 0 when it cannot read it.
ImageSize imageSize(const std::string& path);

// The names in a folder, sorted.
std::vector<std::string> folderNames(const std::string& folder);

// Runs a job over the records with the options; events land in `listener`.
ambrel::convert::JobSummary runJob(const ambrel::convert::JobOptions& options, const std::vector<std::string>& paths,
                                   RecordingListener& listener);

std::string corpusPath(const std::string& name);

// Whether the text looks like a job timestamp: decimal digits, no leading
// zero, ending in "000".
bool isTimestamp(const std::string& text);

}  // namespace converttest
