#include "tests/convert/convert_test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

using namespace ambrel::heif;
using namespace ambrel::convert;

namespace converttest {

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "ambrel-convert-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch folder");
    }
    mPath = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
}

void RecordingListener::record(std::string event)
{
    events.push_back(event);
    if (onEvent) {
        onEvent(event);
    }
}

void RecordingListener::rowConverted(std::size_t row, const std::string& outputPath)
{
    record("converted " + std::to_string(row) + " " + outputPath);
}

void RecordingListener::extraConverted(std::size_t row, const std::string& outputPath,
                                       const ambrel::convert::RowFacts& /*facts*/)
{
    record("extra " + std::to_string(row) + " " + outputPath);
}

void RecordingListener::rowFailed(std::size_t row, const std::string& text, const std::string& detail)
{
    details[row] = detail;
    record("failed " + std::to_string(row) + " " + text);
}

void RecordingListener::rowSkipped(std::size_t row, const std::string& existingPath)
{
    record("skipped " + std::to_string(row) + " " + existingPath);
}

void RecordingListener::rowFacts(std::size_t row, const ambrel::convert::RowFacts& facts)
{
    const std::lock_guard lock(mFactsMutex);
    this->facts[row] = facts;
}

void RecordingListener::rowShowPreview(std::size_t row)
{
    record("preview " + std::to_string(row));
}

void RecordingListener::rowStarted(std::size_t row)
{
    if (!startedAfter.emplace(row, events.size()).second) {
        record("started twice " + std::to_string(row));
    }
}

void RecordingListener::jobStopped()
{
    record("stopped");
}

void RecordingListener::jobFinished(int converted)
{
    record("finished " + std::to_string(converted));
}

void RecordingListener::logLine(const std::string& line)
{
    logLines.push_back(line);
}

fixture::Bytes gridHeic()
{
    static const fixture::Bytes bytes = [] {
        fixture::GridOptions options;
        options.rows = 2;
        options.columns = 3;
        return fixture::makeGridHeic(options).bytes();
    }();
    return bytes;
}

void writeFile(const std::string& path, const fixture::Bytes& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    fixture::writeFileBytes(path, bytes);
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ImageSize imageSize(const std::string& path)
{
    const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    return ImageSize{image.cols, image.rows};
}

std::vector<std::string> folderNames(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator(); it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ambrel::convert::JobSummary runJob(const ambrel::convert::JobOptions& options, const std::vector<std::string>& paths,
                                   RecordingListener& listener)
{
    ambrel::convert::JobDescription job;
    job.options = options;
    for (const auto& path : paths) {
        job.records.push_back(ambrel::convert::makeRecord(path));
    }
    std::atomic<bool> stop{false};
    return ambrel::convert::runConversionJob(job, listener, stop);
}

bool isTimestamp(const std::string& text)
{
    return text.size() > 3 && text[0] != '0' && text.ends_with("000") &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string corpusPath(const std::string& name)
{
    return std::string(AMBREL_CORPUS_DIR) + "/" + name;
}

}  // namespace converttest
