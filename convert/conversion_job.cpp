#include "conversion_job.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "heif2jpg.h"

namespace ambrel {

void JobListener::logLine(const std::string& line)
{
    std::cerr << line << '\n';
}

std::string defaultCacheFolder()
{
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.cache";
    }
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return std::string(found->pw_dir) + "/.cache";
    }
    std::error_code error;
    return std::filesystem::temp_directory_path(error).string();
}

namespace {

// Process-wide serial numbers of workers, so that jobs running side by side
// in one process never share a stream file.
std::atomic<unsigned> nextWorkerSerial{0};

struct RowOutcome
{
    bool converted = false;
    std::string text;  // the output path, or the failure text
    std::vector<std::string> logLines;

    static RowOutcome failure(const char* text) { return RowOutcome{false, text, {}}; }
};

struct Source
{
    Bytes bytes;
    struct timespec modificationTime {};
};

// Reads a whole regular file of at most kMaxSourceBytes. The outcome is set
// (and the bytes empty) when the row already fails here.
std::optional<RowOutcome> readSource(const std::string& path, Source& source)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return RowOutcome::failure(kTextNotFound);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return RowOutcome::failure(kTextNotFound);
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kMaxSourceBytes) {
        ::close(fd);
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed);
        outcome.logLines.push_back("input_Buffer: " + path + " is " + std::to_string(size) +
                                   " bytes, more than " + std::to_string(kMaxSourceBytes));
        return outcome;
    }
    source.modificationTime = info.st_mtim;
    source.bytes.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, source.bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            source.bytes.clear();
            return RowOutcome::failure(kTextNotFound);
        }
        if (n == 0) {
            break;  // the file became shorter since fstat
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    source.bytes.resize(done);
    if (source.bytes.empty()) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed);
        outcome.logLines.push_back("input_Buffer: " + path + " is empty");
        return outcome;
    }
    return std::nullopt;
}

RowOutcome convertRow(const FileRecord& record, const JobOptions& options, const std::string& timestamp,
                      const std::string& streamPath)
{
    Bytes outData;
    struct timespec modificationTime {};
    {
        Source source;
        if (auto failed = readSource(record.heicPath, source)) {
            return *failed;
        }
        modificationTime = source.modificationTime;
        Heif2JpgResult result = convertHeifToJpeg(source.bytes.data(), source.bytes.size(), options.quality,
                                                  streamPath, options.scale, options.keepExif);
        if (!result.ok || result.jpeg.empty()) {
            RowOutcome outcome = RowOutcome::failure(kTextConversionFailed);
            outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + result.message);
            return outcome;
        }
        outData = std::move(result.jpeg);
    }

    if (options.format != OutputFormat::Jpg) {
        auto encoded = encodeOutput(outData, options.format);
        if (!encoded) {
            RowOutcome outcome = RowOutcome::failure(kTextConversionFailed);
            outcome.logLines.push_back("input_Buffer: " + record.heicPath + " could not be encoded as " +
                                       formatWord(options.format));
            return outcome;
        }
        outData = std::move(*encoded);
    }

    const auto folder = createDirectory(options.outputFolder.value_or(record.originalFilePath));
    if (!folder) {
        return RowOutcome::failure(kTextFolderFailed);
    }
    const std::string stem = options.plainNames ? record.fileName : record.fileName + "_" + timestamp;
    WriteOptions writeOptions;
    if (options.keepDates) {
        writeOptions.modificationTime = modificationTime;
    }
    const auto written = writeNewFile(*folder, stem, formatExtension(options.format), outData, writeOptions);
    if (!written) {
        return RowOutcome::failure(kTextSaveFailed);
    }
    return RowOutcome{true, *written, {}};
}

}  // namespace

JobSummary runConversionJob(const JobDescription& job, JobListener& listener,
                            const std::atomic<bool>& stopRequested)
{
    const JobOptions& options = job.options;
    JobSummary summary;
    summary.timestamp = getNowTimeTimestamp();

    const std::string streamFolder =
        (options.cacheFolder.empty() ? defaultCacheFolder() : options.cacheFolder) + "/Ambrel";
    std::error_code ignored;
    std::filesystem::create_directories(streamFolder, ignored);

    const std::size_t rowCount = job.records.size();
    const unsigned workerCount = static_cast<unsigned>(
        std::clamp<std::size_t>(options.workers, 1, std::max<std::size_t>(rowCount, 1)));

    std::atomic<std::size_t> nextRow{0};
    std::atomic<bool> sawStop{false};
    std::atomic<bool> abort{false};
    std::mutex reportMutex;  // one listener call at a time; guards summary and failure
    std::exception_ptr failure;

    const auto work = [&]() {
        const std::string streamPath = streamFolder + "/temp_bitstream-" + std::to_string(::getpid()) + "-" +
                                       std::to_string(nextWorkerSerial++) + ".hevc";
        try {
            while (!abort) {
                const std::size_t row = nextRow++;
                if (row >= rowCount) {
                    break;
                }
                if (stopRequested) {
                    sawStop = true;
                    break;
                }
                RowOutcome outcome;
                try {
                    outcome = convertRow(job.records[row], options, summary.timestamp, streamPath);
                } catch (const std::exception& error) {
                    outcome = RowOutcome::failure(kTextConversionFailed);
                    outcome.logLines.push_back("input_Buffer: " + job.records[row].heicPath + " " + error.what());
                } catch (...) {
                    outcome = RowOutcome::failure(kTextConversionFailed);
                    outcome.logLines.push_back("input_Buffer: " + job.records[row].heicPath);
                }
                const std::lock_guard lock(reportMutex);
                for (const auto& line : outcome.logLines) {
                    listener.logLine(line);
                }
                if (outcome.converted) {
                    ++summary.converted;
                    listener.rowConverted(row, outcome.text);
                    listener.rowShowPreview(row);
                } else {
                    ++summary.failed;
                    listener.rowFailed(row, outcome.text);
                }
            }
        } catch (...) {
            // A listener (or the system) failed; end the job and hand it to the caller.
            const std::lock_guard lock(reportMutex);
            if (!failure) {
                failure = std::current_exception();
            }
            abort = true;
        }
        // The stream file and the lock file the pipeline keeps beside it.
        std::error_code removeError;
        std::filesystem::remove(streamPath, removeError);
        std::filesystem::remove(streamPath + ".lock", removeError);
    };

    std::vector<std::thread> threads;
    for (unsigned i = 1; i < workerCount; ++i) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer workers than asked for
        }
    }
    work();
    for (auto& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }

    summary.stopped = sawStop;
    if (summary.stopped) {
        listener.jobStopped();
    } else {
        listener.jobFinished(summary.converted);
    }
    return summary;
}

}  // namespace ambrel
