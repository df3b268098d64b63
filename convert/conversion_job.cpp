#include "convert/conversion_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iostream>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "heif2jpg/heif2jpg.h"

namespace ambrel::convert {

void JobListener::logLine(const std::string& line)
{
    std::cerr << line << '\n';
}

namespace {

struct RowOutcome
{
    bool converted = false;
    std::string text;  // the output path, or the failure text
    std::string detail;  // what went wrong, in English, when not converted
    std::vector<std::string> logLines;

    static RowOutcome failure(const char* text, std::string detail)
    {
        return RowOutcome{false, text, std::move(detail), {}};
    }
};

std::string systemText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

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
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return RowOutcome::failure(kTextNotFound, S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file");
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kMaxSourceBytes) {
        ::close(fd);
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed,
                                                 "the file is " + std::to_string(size) +
                                                     " bytes, more than the limit of " +
                                                     std::to_string(kMaxSourceBytes));
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
            const int error = errno;
            ::close(fd);
            source.bytes.clear();
            return RowOutcome::failure(kTextNotFound, "cannot read the file: " + systemText(error));
        }
        if (n == 0) {
            break;  // the file became shorter since fstat
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    source.bytes.resize(done);
    if (source.bytes.empty()) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "the file is empty");
        outcome.logLines.push_back("input_Buffer: " + path + " is empty");
        return outcome;
    }
    return std::nullopt;
}

// The folders a job writes into, each swept once of the temporary files that
// an earlier run, killed in the middle of a write, left behind.
class StaleTemporarySweep
{
public:
    void beforeWritingInto(const std::string& folder)
    {
        const std::lock_guard lock(mMutex);
        if (mSwept.insert(folder).second) {
            removeStaleTemporaries(folder);
        }
    }

private:
    std::mutex mMutex;
    std::set<std::string> mSwept;
};

RowOutcome convertRow(const FileRecord& record, const JobOptions& options, const std::string& timestamp,
                      StaleTemporarySweep& sweep)
{
    Bytes outData;
    struct timespec modificationTime {};
    {
        Source source;
        if (auto failed = readSource(record.heicPath, source)) {
            return *failed;
        }
        modificationTime = source.modificationTime;
        pipeline::Heif2JpgResult result = pipeline::convertHeifToJpeg(source.bytes.data(), source.bytes.size(), options.quality,
                                                  options.scale, options.keepExif);
        if (!result.ok || result.jpeg.empty()) {
            const std::string detail = result.detail.empty() ? std::string("the conversion failed") : result.detail;
            RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, detail);
            outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + result.message + ": " + detail);
            return outcome;
        }
        outData = std::move(result.jpeg);
    }

    if (options.format != OutputFormat::Jpg) {
        auto encoded = encodeOutput(outData, options.format);
        if (!encoded) {
            const std::string detail = "the picture cannot be encoded as " + formatWord(options.format);
            RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, detail);
            outcome.logLines.push_back("input_Buffer: " + record.heicPath + " could not be encoded as " +
                                       formatWord(options.format));
            return outcome;
        }
        outData = std::move(*encoded);
    }

    const std::string wanted = options.outputFolder.value_or(record.originalFilePath);
    std::string reason;
    const auto folder = createDirectory(wanted, &reason);
    if (!folder) {
        return RowOutcome::failure(kTextFolderFailed, "cannot create the folder " + wanted + ": " + reason);
    }
    sweep.beforeWritingInto(*folder);
    const std::string stem = options.plainNames ? record.fileName : record.fileName + "_" + timestamp;
    WriteOptions writeOptions;
    if (options.keepDates) {
        writeOptions.modificationTime = modificationTime;
    }
    const std::string extension = formatExtension(options.format);
    int writeError = 0;
    const auto written = writeNewFile(*folder, stem, extension, outData, writeOptions, &writeError);
    if (!written) {
        return RowOutcome::failure(kTextSaveFailed, "cannot write " + joinOutputPath(*folder, stem, extension) +
                                                        ": " + systemText(writeError != 0 ? writeError : EIO));
    }
    return RowOutcome{true, *written, {}, {}};
}

}  // namespace

JobSummary runConversionJob(const JobDescription& job, JobListener& listener,
                            const std::atomic<bool>& stopRequested)
{
    const JobOptions& options = job.options;
    JobSummary summary;
    summary.timestamp = getNowTimeTimestamp();

    const std::size_t rowCount = job.records.size();
    const unsigned workerCount = static_cast<unsigned>(
        std::clamp<std::size_t>(options.workers, 1, std::max<std::size_t>(rowCount, 1)));

    std::atomic<std::size_t> nextRow{0};
    std::atomic<bool> sawStop{false};
    std::atomic<bool> abort{false};
    std::mutex reportMutex;  // one listener call at a time; guards summary and failure
    std::exception_ptr failure;
    StaleTemporarySweep sweep;

    const auto work = [&]() {
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
                    outcome = convertRow(job.records[row], options, summary.timestamp, sweep);
                } catch (const std::bad_alloc&) {
                    outcome = RowOutcome::failure(kTextConversionFailed, "out of memory");
                    outcome.logLines.push_back("input_Buffer: " + job.records[row].heicPath + " out of memory");
                } catch (const std::exception& error) {
                    outcome = RowOutcome::failure(kTextConversionFailed,
                                                  std::string("the conversion failed: ") + error.what());
                    outcome.logLines.push_back("input_Buffer: " + job.records[row].heicPath + " " + error.what());
                } catch (...) {
                    outcome = RowOutcome::failure(kTextConversionFailed, "the conversion failed");
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
                    listener.rowFailed(row, outcome.text, outcome.detail);
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

}  // namespace ambrel::convert
