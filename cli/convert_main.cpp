// ambrel-convert: converts HEIC files into JPEG, PNG, BMP, TIFF, JPEG 2000 or WebP
// files in one batch, with the same rules as the desktop application.
//
// Standard output carries only the report: one line per file ("SOURCE ->
// OUTPUT", "SOURCE: skipped, OUTPUT exists", or "SOURCE: what went wrong" in
// English), then a summary; with --json one JSON object per file instead.
// Control bytes in names and texts are printed as escapes (\n, \x1b...), so
// that each file stays on one line and no name can steer the terminal. Exit
// status 0 when no file failed, 1 when any failed (or no input file was
// found), 2 for a usage error, 128 + the signal's number when interrupted
// (130 for Ctrl-C).
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "cli/report.h"
#include "cli/terminal_text.h"
#include "convert/conversion_job.h"
#include "convert/file_list.h"
#include "convert/library_logs.h"
#include "convert/output_files.h"
#include "pipeline/heif2jpg.h"

#ifndef AMBREL_VERSION
#define AMBREL_VERSION "unknown"
#endif

namespace ambrel::cli {

namespace {

std::atomic<bool> interrupted{false};

void message(const std::string& line)
{
    std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
}

std::string plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The longest entry of a --files-from list, and the most entries (empty
// ones too) it may hold: a folder, a device or an endless stream given by
// mistake ends with an error rather than filling the memory.
constexpr std::size_t kMaxListEntryBytes = PATH_MAX;
constexpr std::size_t kMaxListEntries = 10'000'000;

// Reads the paths listed in a --files-from file ("-": standard input) as
// they come, handing each to `take`: one a line (a "\r" before the newline
// dropped), or NUL-terminated; empty entries are ignored. False, with the
// reason, when it cannot be read or breaks a bound.
bool readListedPaths(const std::string& file, bool nullSeparated, const std::function<void(const std::string&)>& take,
                     std::string& reason)
{
    const auto systemReason = [](int error) { return std::error_code(error, std::generic_category()).message(); };
    const int fd = file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = systemReason(errno);
        return false;
    }
    const char separator = nullSeparated ? '\0' : '\n';
    std::string entry;
    std::size_t entries = 0;
    const auto endEntry = [&]() {
        if (!nullSeparated && entry.ends_with('\r')) {
            entry.pop_back();
        }
        if (!entry.empty()) {
            take(entry);
        }
        entry.clear();
        return ++entries <= kMaxListEntries;
    };
    char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            reason = errno == EISDIR ? std::string("a folder, not a list of files") : systemReason(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            ok = entry.empty() || endEntry();
            break;
        }
        for (ssize_t i = 0; i < n && ok; ++i) {
            if (buffer[i] == separator) {
                ok = endEntry();
            } else if (entry.size() < kMaxListEntryBytes) {
                entry += buffer[i];
            } else {
                reason = "an entry of more than " + std::to_string(kMaxListEntryBytes) +
                         " bytes, longer than any path (not a list of files, or one without " +
                         (nullSeparated ? "NUL bytes between its paths)" : "newlines between its paths; -0?)");
                ok = false;
            }
        }
        if (!ok) {
            if (reason.empty()) {
                reason = "more than " + std::to_string(kMaxListEntries) + " entries";
            }
            break;
        }
    }
    if (fd != STDIN_FILENO) {
        ::close(fd);
    }
    return ok;
}

// The files named by the inputs, in order: files as given, folders' HEIF
// files in natural order (with -r and -o the place below the folder, to be
// mirrored). A file reached twice, under whatever spelling, is taken once.
class InputCollector
{
public:
    explicit InputCollector(const CliOptions& options) : mOptions(options) {}

    void take(const std::string& input)
    {
        struct stat info
        {};
        if (::stat(input.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            takeFolder(input);
        } else {
            add(input, std::string());
        }
    }

    std::vector<convert::FileRecord>& records() { return mRecords; }
    // Folders that could not be read (too deep for a path, for one): each
    // with its reason.
    const std::vector<std::pair<std::string, std::string>>& failures() const { return mFailures; }

private:
    void takeFolder(const std::string& folder)
    {
        const convert::FolderScan scan = convert::scanFolder(folder, mOptions.recursive);
        for (const auto& entry : scan.files) {
            add(entry.path, mOptions.recursive ? entry.relative : std::string());
        }
        for (const auto& [path, reason] : scan.unreadable) {
            mFailures.emplace_back(path, "cannot read the folder: " + reason);
        }
        if (mOptions.quiet) {
            return;
        }
        if (scan.otherFiles != 0) {
            message(folder + ": skipped " + plural(scan.otherFiles, "file", "files") +
                    " not named .heic, .heif, .hif or .avif");
        }
        if (scan.subfolders != 0) {
            message(folder + ": " + plural(scan.subfolders, "subfolder", "subfolders") + " not searched (add -r)");
        }
    }

    void add(const std::string& path, const std::string& relative)
    {
        struct stat info
        {};
        if (::stat(path.c_str(), &info) == 0) {
            const auto [at, added] = mSeen.emplace(info.st_dev, info.st_ino);
            if (!added) {
                if (!mOptions.quiet) {
                    const std::string& first = mFirstPath.at(*at);
                    message(first == path ? path + ": given more than once, converted once"
                                          : path + ": the same file as " + first + ", converted once");
                }
                return;
            }
            mFirstPath.emplace(*at, path);
        } else if (!mMissing.insert(path).second) {
            return;  // reported once, when its row fails
        }
        convert::FileRecord record = convert::makeRecord(path);
        record.fileName = convert::stemOf(path);
        record.outputSubfolder = relative;
        mRecords.push_back(std::move(record));
    }

    const CliOptions& mOptions;
    std::vector<convert::FileRecord> mRecords;
    std::set<std::pair<dev_t, ino_t>> mSeen;
    std::map<std::pair<dev_t, ino_t>, std::string> mFirstPath;
    std::set<std::string> mMissing;
    std::vector<std::pair<std::string, std::string>> mFailures;
};

// Watches for Ctrl-C, SIGTERM and SIGHUP on a thread of its own (they are
// blocked in every other thread). The first stops the job before its next
// file and says what happens to the files being written; a second abandons
// those (removed), prints the summary and ends the program.
class SignalWatcher
{
public:
    SignalWatcher()
    {
        sigemptyset(&mSignals);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&mSignals, signal);
        }
        // Before any other thread starts: they inherit the mask.
        ::pthread_sigmask(SIG_BLOCK, &mSignals, nullptr);
    }

    // Starts watching; `summaryTo` is where the summary goes (null: none).
    void start(Reporter& reporter, std::FILE* summaryTo, int total)
    {
        std::thread([this, &reporter, summaryTo, total] { watch(reporter, summaryTo, total); }).detach();
    }

    // The first signal's number, 0 when none came.
    int received() const { return mFirst; }

    // Ends the watch before the reporter goes: a signal that comes later
    // changes nothing.
    void retire()
    {
        const std::lock_guard lock(mMutex);
        mRetired = true;
    }

private:
    void watch(Reporter& reporter, std::FILE* summaryTo, int total)
    {
        for (;;) {
            int signal = 0;
            if (::sigwait(&mSignals, &signal) != 0) {
                return;
            }
            const std::lock_guard lock(mMutex);
            if (mRetired) {
                return;
            }
            if (mFirst == 0) {
                mFirst = signal;
                interrupted = true;
                const std::size_t writing = reporter.inProgress();
                const char* const what = signal == SIGINT ? "interrupted" : "asked to stop";
                const char* const again = signal == SIGINT ? "Ctrl-C again" : "a second signal";
                std::fprintf(stderr, "\nambrel-convert: %s: finishing %s being written; %s to abandon %s\n", what,
                             plural(writing, "file", "files").c_str(), again, writing == 1 ? "it" : "them");
                continue;
            }
            const unsigned abandoned = convert::abandonFilesBeingWritten();
            if (reporter.finish(summaryTo, total, true, abandoned)) {
                ::_exit(128 + mFirst);
            }
        }
    }

    sigset_t mSignals{};
    std::atomic<int> mFirst{0};
    std::mutex mMutex;
    bool mRetired = false;  // guarded by mMutex
};

bool writeAllTo(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads the whole stream of at most convert::kMaxSourceBytes; the reason
// when it cannot.
std::optional<std::vector<std::uint8_t>> readBounded(int fd, std::string& reason)
{
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            reason = "cannot read: " + std::error_code(errno, std::generic_category()).message();
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<std::size_t>(n) > convert::kMaxSourceBytes) {
            reason = "more than the limit of " + std::to_string(convert::kMaxSourceBytes) + " bytes";
            return std::nullopt;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    if (bytes.empty()) {
        reason = "the file is empty";
        return std::nullopt;
    }
    return bytes;
}

// One file, or standard input ("-"), converted onto standard output; every
// message goes to standard error.
int convertToStdout(const CliOptions& options)
{
    const std::string& input = options.inputs.front();
    const bool fromStdin = input == "-";
    const std::string name = fromStdin ? std::string("standard input") : input;
    if (::isatty(STDOUT_FILENO) == 1) {
        message("ambrel-convert: standard output is a terminal; redirect it to a file or a pipe");
        return 2;
    }
    std::string reason;
    std::optional<std::vector<std::uint8_t>> source;
    if (fromStdin) {
        source = readBounded(STDIN_FILENO, reason);
    } else {
        const int fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            reason = "cannot open the file: " + std::error_code(errno, std::generic_category()).message();
        } else {
            struct stat info
            {};
            if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
                reason = "a folder, not a file";
            } else {
                source = readBounded(fd, reason);
            }
            ::close(fd);
        }
    }
    if (!source) {
        message(name + ": " + reason);
        return 1;
    }
    pipeline::ConversionSettings settings;
    settings.format = options.job.format;
    settings.quality = options.job.quality;
    settings.scale = options.job.scale;
    settings.keepExif = options.job.keepExif;
    settings.depth = options.job.depth;
    settings.maxSide = options.job.maxSide;
    const pipeline::ConvertedFile result = pipeline::convertHeif(source->data(), source->size(), settings);
    if (!result.ok || result.bytes.empty()) {
        message(name + ": " + (result.detail.empty() ? std::string("the conversion failed") : result.detail));
        return 1;
    }
    if (!result.warning.empty() && !options.quiet) {
        message(name + ": " + result.warning);
    }
    if (!writeAllTo(STDOUT_FILENO, result.bytes)) {
        message("ambrel-convert: cannot write to standard output: " +
                std::error_code(errno, std::generic_category()).message());
        return 1;
    }
    return 0;
}

}  // namespace

int convertMain(int argc, char** argv)
{
    CliOptions options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "ambrel-convert: %s\nTry 'ambrel-convert --help'.\n", terminalSafe(error.message).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("ambrel-convert %s\n", AMBREL_VERSION);
        return 0;
    }
    // Standard output carries only the report: the libraries keep quiet.
    const convert::QuietLibraryLogs quietLibraries;
    if (options.toStdout) {
        return convertToStdout(options);
    }

    InputCollector collector(options);
    for (const auto& input : options.inputs) {
        collector.take(input);
    }
    for (const auto& file : options.listFiles) {
        std::string reason;
        if (!readListedPaths(
                file, options.nullSeparated, [&](const std::string& path) { collector.take(path); }, reason)) {
            std::string line = "ambrel-convert: cannot read the list " + file;
            line += ": ";
            line += reason;
            message(line);
            return 2;
        }
    }
    if (collector.records().empty()) {
        for (const auto& [path, reason] : collector.failures()) {
            std::string line = path;
            line += ": ";
            line += reason;
            message(line);
        }
        message("ambrel-convert: no HEIF file found");
        return 1;
    }

    SignalWatcher signals;
    convert::JobDescription job{options.job, std::move(collector.records())};
    Reporter reporter(job.records, stdout, options.quiet, options.json);
    for (const auto& [path, reason] : collector.failures()) {
        reporter.inputFailed(path, reason);
    }
    const int total = static_cast<int>(job.records.size());
    std::FILE* const summaryTo = options.quiet ? nullptr : options.json ? stderr : stdout;
    signals.start(reporter, summaryTo, total);
    const convert::JobSummary summary = convert::runConversionJob(job, reporter, interrupted);
    reporter.finish(summaryTo, total, summary.stopped, std::nullopt);
    signals.retire();
    if (signals.received() != 0) {
        return 128 + signals.received();
    }
    return summary.failed == 0 && collector.failures().empty() && !summary.stopped ? 0 : 1;
}

}  // namespace ambrel::cli

int main(int argc, char** argv)
{
    ambrel::cli::openClosedStandardStreams();
    return ambrel::cli::convertMain(argc, argv);
}
