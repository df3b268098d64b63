#include "convert/conversion_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "convert/file_descriptor.h"
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
    std::string text;    // the output path, the existing file when skipped, or the failure text
    std::string detail;  // what went wrong, in English, when not converted
    std::vector<std::string> logLines;
    bool skipped = false;
    RowFacts facts;

    static RowOutcome failure(const char* text, std::string detail)
    {
        return RowOutcome{false, text, std::move(detail), {}, false, {}};
    }
};

std::string systemText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

struct Source
{
    Bytes bytes;
    struct timespec modificationTime
    {};
};

// Reads a whole regular file of at most kMaxSourceBytes. The outcome is set
// (and the bytes empty) when the row already fails here.
std::optional<RowOutcome> readSource(const std::string& path, Source& source)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(errno));
    }
    struct stat info
    {};
    if (::fstat(fd.get(), &info) != 0) {
        return RowOutcome::failure(kTextNotFound, "cannot open the file: " + systemText(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return RowOutcome::failure(kTextNotFound,
                                   S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file");
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kMaxSourceBytes) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "the file is " + std::to_string(size) +
                                                                            " bytes, more than the limit of " +
                                                                            std::to_string(kMaxSourceBytes));
        outcome.logLines.push_back("input_Buffer: " + path + " is " + std::to_string(size) + " bytes, more than " +
                                   std::to_string(kMaxSourceBytes));
        return outcome;
    }
    source.modificationTime = info.st_mtim;
    source.bytes.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), source.bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            source.bytes.clear();
            return RowOutcome::failure(kTextNotFound, "cannot read the file: " + systemText(error));
        }
        if (n == 0) {
            break;  // the file became shorter since fstat
        }
        done += static_cast<std::size_t>(n);
    }
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

// Where a row's output goes: the folder and the name, decided before the
// row is converted.
struct PlannedOutput
{
    std::string folder;
    std::string stem;                     // without the _n of a candidate
    unsigned candidate = 1;               // the candidate to write first (candidateName)
    std::optional<std::string> existing;  // with ExistingOutput::Skip: the file that takes the name
};

std::string outputFolderOf(const FileRecord& record, const JobOptions& options)
{
    if (!options.outputFolder) {
        return record.originalFilePath;
    }
    if (record.outputSubfolder.empty()) {
        return *options.outputFolder;
    }
    const std::string& base = *options.outputFolder;
    return base.ends_with('/') ? base + record.outputSubfolder : base + "/" + record.outputSubfolder;
}

// The spelling-independent key of an output path within the batch.
std::string outputKey(const std::string& path)
{
    std::error_code error;
    const auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

bool nameTaken(const std::string& path)
{
    struct stat info
    {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Every row's output, in list order: a name taken by an earlier row of the
// batch moves on to the next candidate; a name taken by an existing file
// does too, unless the job skips or overwrites such files.
std::vector<PlannedOutput> planOutputs(const JobDescription& job, const std::string& timestamp)
{
    const JobOptions& options = job.options;
    const bool plan = options.planNames || options.existing != ExistingOutput::NewName;
    const std::string extension = formatExtension(options.format);
    std::vector<PlannedOutput> planned;
    planned.reserve(job.records.size());
    std::set<std::string> batch;
    for (const FileRecord& record : job.records) {
        PlannedOutput output;
        output.folder = outputFolderOf(record, options);
        output.stem = options.plainNames ? record.fileName : record.fileName + "_" + timestamp;
        if (plan) {
            for (; output.candidate < kMaxNameCandidates; ++output.candidate) {
                const std::string path =
                    joinOutputPath(output.folder, candidateName(output.stem, output.candidate), extension);
                if (batch.contains(outputKey(path))) {
                    continue;
                }
                if (options.existing != ExistingOutput::Overwrite && nameTaken(path)) {
                    if (options.existing == ExistingOutput::Skip) {
                        output.existing = path;
                        break;
                    }
                    continue;
                }
                batch.insert(outputKey(path));
                break;
            }
        }
        planned.push_back(std::move(output));
    }
    return planned;
}

// The output file's bytes for the row's file, with the file's modification
// time; the outcome when the row fails here. The file's bytes are let go of
// on return. What of the image could not be carried goes to the log.
std::optional<RowOutcome> convertSource(const FileRecord& record, const JobOptions& options, Bytes& outData,
                                        std::pair<std::uint32_t, std::uint32_t>& size,
                                        struct timespec& modificationTime, std::vector<std::string>& logLines)
{
    Source source;
    if (auto failed = readSource(record.heicPath, source)) {
        return failed;
    }
    modificationTime = source.modificationTime;
    pipeline::ConversionSettings settings;
    settings.format = options.format;
    settings.quality = options.quality;
    settings.scale = options.scale;
    settings.keepExif = options.keepExif;
    settings.depth = options.depth;
    settings.maxSide = options.maxSide;
    pipeline::ConvertedFile result = pipeline::convertHeif(source.bytes.data(), source.bytes.size(), settings);
    if (!result.ok || result.bytes.empty()) {
        const std::string detail = result.detail.empty() ? std::string("the conversion failed") : result.detail;
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, detail);
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + result.message + ": " + detail);
        return outcome;
    }
    if (!result.warning.empty()) {
        logLines.push_back(record.heicPath + ": " + result.warning);
    }
    outData = std::move(result.bytes);
    size = {result.width, result.height};
    return std::nullopt;
}

// Writes the output file under a name not yet taken, in the output folder or
// beside the source.
RowOutcome saveOutput(const PlannedOutput& planned, const JobOptions& options, StaleTemporarySweep& sweep,
                      const Bytes& outData, const struct timespec& modificationTime)
{
    const std::string& wanted = planned.folder;
    std::string reason;
    const auto folder = createDirectory(wanted, &reason);
    if (!folder) {
        return RowOutcome::failure(kTextFolderFailed, "cannot create the folder " + wanted + ": " + reason);
    }
    sweep.beforeWritingInto(*folder);
    WriteOptions writeOptions;
    if (options.keepDates) {
        writeOptions.modificationTime = modificationTime;
    }
    writeOptions.firstCandidate = planned.candidate;
    const std::string extension = formatExtension(options.format);
    const std::string name = candidateName(planned.stem, planned.candidate);
    int writeError = 0;
    const auto written = options.existing == ExistingOutput::Overwrite
                             ? replaceFile(*folder, name, extension, outData, writeOptions, &writeError)
                             : writeNewFile(*folder, planned.stem, extension, outData, writeOptions, &writeError);
    if (!written) {
        return RowOutcome::failure(kTextSaveFailed, "cannot write " + joinOutputPath(*folder, name, extension) + ": " +
                                                        systemText(writeError != 0 ? writeError : EIO));
    }
    return RowOutcome{true, *written, {}, {}, false, {}};
}

RowOutcome convertRow(const FileRecord& record, const JobOptions& options, const PlannedOutput& planned,
                      StaleTemporarySweep& sweep)
{
    if (planned.existing) {
        RowOutcome outcome;
        outcome.skipped = true;
        outcome.text = *planned.existing;
        return outcome;
    }
    Bytes outData;
    std::pair<std::uint32_t, std::uint32_t> size;
    struct timespec modificationTime
    {};
    std::vector<std::string> warnings;
    if (auto failed = convertSource(record, options, outData, size, modificationTime, warnings)) {
        return std::move(*failed);
    }
    RowOutcome outcome = saveOutput(planned, options, sweep, outData, modificationTime);
    outcome.logLines.insert(outcome.logLines.begin(), warnings.begin(), warnings.end());
    if (outcome.converted) {
        outcome.facts.width = size.first;
        outcome.facts.height = size.second;
        outcome.facts.bytes = outData.size();
    }
    return outcome;
}

// The row's outcome, whatever its conversion throws.
RowOutcome convertRowCaught(const FileRecord& record, const JobOptions& options, const PlannedOutput& planned,
                            StaleTemporarySweep& sweep)
{
    try {
        return convertRow(record, options, planned, sweep);
    } catch (const std::bad_alloc&) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "out of memory");
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " out of memory");
        return outcome;
    } catch (const std::exception& error) {
        RowOutcome outcome =
            RowOutcome::failure(kTextConversionFailed, std::string("the conversion failed: ") + error.what());
        outcome.logLines.push_back("input_Buffer: " + record.heicPath + " " + error.what());
        return outcome;
    } catch (...) {
        RowOutcome outcome = RowOutcome::failure(kTextConversionFailed, "the conversion failed");
        outcome.logLines.push_back("input_Buffer: " + record.heicPath);
        return outcome;
    }
}

// The workers of one job: each takes the next row until the rows run out,
// the stop flag is found set or a listener fails.
class JobWorkers
{
public:
    JobWorkers(const JobDescription& job, JobListener& listener, const std::atomic<bool>& stopRequested,
               JobSummary& summary, std::vector<PlannedOutput> planned)
        : mJob(job), mListener(listener), mStopRequested(stopRequested), mSummary(summary), mPlanned(std::move(planned))
    {}

    // Runs `count` workers, this thread being one of them (fewer when no
    // more threads can be had), and waits for them all. What a listener
    // throws comes out here, after every worker has ended.
    void run(unsigned count)
    {
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < count; ++i) {
            try {
                threads.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // fewer workers than asked for
            }
        }
        work();
        for (auto& thread : threads) {
            thread.join();
        }
        if (mFailure) {
            std::rethrow_exception(mFailure);
        }
    }

    bool sawStop() const { return mSawStop; }

private:
    void work()
    {
        try {
            while (!mAbort) {
                const std::size_t row = mNextRow++;
                if (row >= mJob.records.size()) {
                    break;
                }
                if (mStopRequested) {
                    mSawStop = true;
                    break;
                }
                {
                    const std::lock_guard lock(mReportMutex);
                    mListener.rowStarted(row);
                }
                const auto start = std::chrono::steady_clock::now();
                RowOutcome outcome = convertRowCaught(mJob.records[row], mJob.options, mPlanned[row], mSweep);
                outcome.facts.milliseconds = static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count());
                report(row, outcome);
            }
        } catch (...) {
            // A listener (or the system) failed; end the job and hand it to the caller.
            const std::lock_guard lock(mReportMutex);
            if (!mFailure) {
                mFailure = std::current_exception();
            }
            mAbort = true;
        }
    }

    // One listener call at a time.
    void report(std::size_t row, const RowOutcome& outcome)
    {
        const std::lock_guard lock(mReportMutex);
        for (const auto& line : outcome.logLines) {
            mListener.logLine(line);
        }
        mListener.rowFacts(row, outcome.facts);
        if (outcome.skipped) {
            ++mSummary.skipped;
            mListener.rowSkipped(row, outcome.text);
        } else if (outcome.converted) {
            ++mSummary.converted;
            mListener.rowConverted(row, outcome.text);
            mListener.rowShowPreview(row);
        } else {
            ++mSummary.failed;
            mListener.rowFailed(row, outcome.text, outcome.detail);
        }
    }

    const JobDescription& mJob;
    JobListener& mListener;
    const std::atomic<bool>& mStopRequested;
    JobSummary& mSummary;  // guarded by mReportMutex while workers run
    const std::vector<PlannedOutput> mPlanned;
    std::atomic<std::size_t> mNextRow{0};
    std::atomic<bool> mSawStop{false};
    std::atomic<bool> mAbort{false};
    std::mutex mReportMutex;
    std::exception_ptr mFailure;  // guarded by mReportMutex
    StaleTemporarySweep mSweep;
};

}  // namespace

JobSummary runConversionJob(const JobDescription& job, JobListener& listener, const std::atomic<bool>& stopRequested)
{
    JobSummary summary;
    summary.timestamp = getNowTimeTimestamp();
    const std::size_t rowCount = job.records.size();
    const unsigned workerCount =
        static_cast<unsigned>(std::clamp<std::size_t>(job.options.workers, 1, std::max<std::size_t>(rowCount, 1)));

    JobWorkers workers(job, listener, stopRequested, summary, planOutputs(job, summary.timestamp));
    workers.run(workerCount);

    summary.stopped = workers.sawStop();
    if (summary.stopped) {
        listener.jobStopped();
    } else {
        listener.jobFinished(summary.converted);
    }
    return summary;
}

}  // namespace ambrel::convert
