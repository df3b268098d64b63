// ambrel-convert: converts HEIC files into JPEG, PNG, BMP, TIFF or JPEG 2000
// files in one batch, with the same rules as the desktop application.
//
// Standard output carries only the report: one line per file ("SOURCE ->
// OUTPUT", or "SOURCE: what went wrong" in English), then a summary. Control
// bytes in names and texts are printed as escapes (\n, \x1b...), so that each
// file stays on one line and no name can steer the terminal. Exit status 0
// when every file was written, 1 when any failed (or no input file was
// found), 2 for a usage error.
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/terminal_text.h"
#include "convert/conversion_job.h"
#include "convert/file_list.h"
#include "convert/library_logs.h"
#include "convert/output_files.h"

namespace ambrel::cli {

namespace {

const char* const kUsage =
    "usage: ambrel-convert [options] INPUT...\n"
    "Converts HEIC files into JPEG, PNG, BMP, TIFF or JPEG 2000 files. An INPUT is a\n"
    "file (converted whatever its name) or a folder (its entries named *.heic, in any\n"
    "letter case).\n"
    "\n"
    "  -f, --format JPG|PNG|BMP|JPEG2000|TIFF   output format, default JPG\n"
    "  -s, --scale PERCENT      1 to 100, default 100\n"
    "  -q, --quality PERCENT    JPEG quality, or JPEG 2000's rate (100: lossless), 1 to 100,\n"
    "                           default 100; PNG, TIFF and BMP are always lossless\n"
    "      --depth 8|16         bits a sample: 16 writes 16-bit PNG and TIFF, and JPEG 2000 at\n"
    "                           the source's precision (10 or 12 bits); default 8\n"
    "      --no-exif            do not carry EXIF or XMP (the rotation is then applied to the pixels)\n"
    "  -o, --output DIR         save into DIR (created with its parents); default: beside each source\n"
    "      --plain-names        name outputs BASE.EXT instead of BASE_TIMESTAMP.EXT\n"
    "  -j, --jobs N             files converted at once, default the number of cores\n"
    "  -r, --recursive          also take the HEIC files in the folders' subfolders\n"
    "      --keep-dates         give each output its source's modification time\n"
    "      --quiet              print only the files that failed\n"
    "  -h, --help               print this help\n"
    "\n"
    "Every format carries the image's colour profile and, unless --no-exif is given, its EXIF\n"
    "and XMP (BMP only the profile); PNG, TIFF and JPEG 2000 keep an alpha plane.\n"
    "An existing file is never replaced: a name already taken gets _2, _3... appended.\n"
    "Exit status: 0 every file written, 1 some file failed or none found, 2 usage error.\n";

struct CliOptions
{
    convert::JobOptions job;
    std::vector<std::string> inputs;
    bool recursive = false;
    bool quiet = false;
    bool help = false;
};

struct UsageError
{
    std::string message;
};

std::optional<long> parseNumber(std::string_view text)
{
    long value = 0;
    const auto* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

long numberInRange(const std::string& option, std::string_view text, long low, long high)
{
    const auto value = parseNumber(text);
    if (!value) {
        throw UsageError{"option " + option + ": '" + std::string(text) + "' is not a number"};
    }
    if (*value < low || *value > high) {
        throw UsageError{"option " + option + ": " + std::string(text) + " is outside " + std::to_string(low) + " to " +
                         std::to_string(high)};
    }
    return *value;
}

// An option as given: "--name=value" and "-xVALUE" carry their value.
struct GivenOption
{
    std::string name;
    std::optional<std::string> attached;
};

GivenOption splitOption(const std::string& argument)
{
    GivenOption given{argument, std::nullopt};
    if (argument.rfind("--", 0) == 0) {
        const auto equals = argument.find('=');
        if (equals != std::string::npos) {
            given.name = argument.substr(0, equals);
            given.attached = argument.substr(equals + 1);
        }
    } else if (argument.size() > 2) {
        given.name = argument.substr(0, 2);
        given.attached = argument.substr(2);
    }
    return given;
}

// The options that take a value, read with `value`; false when `name` is
// none of them.
bool takeValueOption(const std::string& name, const std::function<std::string()>& value, convert::JobOptions& job)
{
    if (name == "-f" || name == "--format") {
        const std::string word = value();
        const auto format = convert::parseFormatWord(word);
        if (!format) {
            throw UsageError{"unknown format '" + word + "' (JPG, PNG, BMP, JPEG2000 or TIFF)"};
        }
        job.format = *format;
    } else if (name == "-s" || name == "--scale") {
        job.scale = static_cast<float>(numberInRange(name, value(), 1, 100)) / 100.0f;
    } else if (name == "-q" || name == "--quality") {
        job.quality = static_cast<int>(numberInRange(name, value(), 1, 100));
    } else if (name == "--depth") {
        const std::string bits = value();
        if (bits != "8" && bits != "16") {
            throw UsageError{"option --depth takes 8 or 16, not '" + bits + "'"};
        }
        job.depth = bits == "8" ? 8 : 16;
    } else if (name == "-o" || name == "--output") {
        const std::string folder = value();
        if (folder.empty()) {
            throw UsageError{"option " + name + " needs a folder"};
        }
        job.outputFolder = folder;
    } else if (name == "-j" || name == "--jobs") {
        job.workers = static_cast<unsigned>(numberInRange(name, value(), 1, 1024));
    } else {
        return false;
    }
    return true;
}

// The options that are flags; false when the option is none of them.
bool takeFlag(const GivenOption& given, CliOptions& options)
{
    const std::string& name = given.name;
    bool* target = nullptr;
    bool setting = true;
    if (name == "--no-exif") {
        target = &options.job.keepExif;
        setting = false;
    } else if (name == "--plain-names") {
        target = &options.job.plainNames;
    } else if (name == "-r" || name == "--recursive") {
        target = &options.recursive;
    } else if (name == "--keep-dates") {
        target = &options.job.keepDates;
    } else if (name == "--quiet") {
        target = &options.quiet;
    } else if (name == "-h" || name == "--help") {
        target = &options.help;
    } else {
        return false;
    }
    if (given.attached) {
        throw UsageError{"option " + name + " takes no value"};
    }
    *target = setting;
    return true;
}

CliOptions parseArguments(int argc, char** argv)
{
    CliOptions options;
    const unsigned cores = std::thread::hardware_concurrency();
    options.job.workers = cores == 0 ? 1 : cores;

    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.inputs.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const GivenOption given = splitOption(argument);
        const auto value = [&]() -> std::string {
            if (given.attached) {
                return *given.attached;
            }
            if (i + 1 >= argc) {
                throw UsageError{"option " + given.name + " needs a value"};
            }
            return argv[++i];
        };
        if (!takeValueOption(given.name, value, options.job) && !takeFlag(given, options)) {
            throw UsageError{"unknown option '" + argument + "'"};
        }
    }
    if (!options.help && options.inputs.empty()) {
        throw UsageError{"no INPUT given"};
    }
    return options;
}

std::atomic<bool> interrupted{false};

void onInterrupt(int)
{
    interrupted = true;
}

// Prints the rows in list order as their outcomes arrive, with a progress
// bar on a terminal's standard error.
class Reporter : public convert::JobListener
{
public:
    Reporter(const std::vector<convert::FileRecord>& records, std::FILE* report, bool quiet)
        : mRecords(records), mReport(report), mQuiet(quiet), mLines(records.size()),
          mProgress(!quiet && ::isatty(STDERR_FILENO) == 1)
    {
        drawProgress();
    }

    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        if (!mQuiet) {
            mLines[row] = mRecords[row].heicPath + " -> " + outputPath;
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    // The cause in English rather than the application's row text.
    void rowFailed(std::size_t row, const std::string& /*text*/, const std::string& detail) override
    {
        mLines[row] = mRecords[row].heicPath + ": " + detail;
        rowDone();
    }

    void jobStopped() override { endProgress(); }
    void jobFinished(int) override { endProgress(); }

    void logLine(const std::string& line) override
    {
        if (!mQuiet) {
            eraseProgress();
            std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
            drawProgress();
        }
    }

private:
    void rowDone()
    {
        ++mDone;
        eraseProgress();
        while (mNextLine < mLines.size() && mLines[mNextLine]) {
            if (!mLines[mNextLine]->empty()) {
                std::fprintf(mReport, "%s\n", terminalSafe(*mLines[mNextLine]).c_str());
            }
            ++mNextLine;
        }
        std::fflush(mReport);
        drawProgress();
    }

    void drawProgress()
    {
        if (!mProgress) {
            return;
        }
        constexpr std::size_t kWidth = 30;
        const std::size_t total = mLines.size();
        const std::size_t filled = total == 0 ? kWidth : mDone * kWidth / total;
        std::string bar(filled, '#');
        bar.append(kWidth - filled, '.');
        std::fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), mDone, total);
        std::fflush(stderr);
    }

    void eraseProgress()
    {
        if (mProgress) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

    void endProgress()
    {
        eraseProgress();
        mProgress = false;
    }

    const std::vector<convert::FileRecord>& mRecords;
    std::FILE* mReport;
    bool mQuiet;
    std::vector<std::optional<std::string>> mLines;
    bool mProgress;
    std::size_t mDone = 0;
    std::size_t mNextLine = 0;
};

bool isFolder(const std::string& path)
{
    struct stat info
    {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The files named by the inputs: files as given, folders' HEIC entries.
convert::FileList collectInputs(const CliOptions& options)
{
    convert::FileList list;
    const auto add = [&](const std::string& path) {
        if (list.addGivenPath(path) == convert::Intake::Duplicate && !options.quiet) {
            std::fprintf(stderr, "%s\n", terminalSafe(convert::duplicateLogLine(path)).c_str());
        }
    };
    for (const auto& input : options.inputs) {
        if (isFolder(input)) {
            for (const auto& path : convert::folderFiles(input, options.recursive)) {
                if (convert::hasHeicName(path)) {
                    add(path);
                }
            }
        } else {
            add(input);
        }
    }
    return list;
}

// An interrupt or a termination request stops the job before its next file.
void stopOnInterrupt()
{
    struct sigaction action
    {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;  // a second interrupt ends the program at once
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void printSummary(const convert::JobSummary& summary, int total)
{
    std::printf("%d converted, %d failed", summary.converted, summary.failed);
    if (summary.stopped) {
        std::printf(", %d not converted (interrupted)", total - summary.converted - summary.failed);
    }
    std::printf("\n");
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
    // Standard output carries only the report: the libraries keep quiet.
    const convert::QuietLibraryLogs quietLibraries;

    const convert::FileList list = collectInputs(options);
    if (list.empty()) {
        std::fprintf(stderr, "ambrel-convert: no HEIC file found\n");
        return 1;
    }
    stopOnInterrupt();

    convert::JobDescription job{options.job, list.records()};
    Reporter reporter(job.records, stdout, options.quiet);
    const convert::JobSummary summary = convert::runConversionJob(job, reporter, interrupted);
    const int total = static_cast<int>(job.records.size());
    if (!options.quiet) {
        printSummary(summary, total);
    }
    std::fflush(stdout);
    return summary.converted == total ? 0 : 1;
}

}  // namespace ambrel::cli

int main(int argc, char** argv)
{
    return ambrel::cli::convertMain(argc, argv);
}
