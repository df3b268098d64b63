// ambrel-convert: converts HEIC files into JPEG, PNG, BMP, TIFF or JPEG 2000
// files in one batch, with the same rules as the desktop application.
//
// Standard output carries only the report: one line per file ("SOURCE ->
// OUTPUT", "SOURCE: skipped, OUTPUT exists", or "SOURCE: what went wrong" in
// English), then a summary; with --json one JSON object per file instead.
// Control bytes in names and texts are printed as escapes (\n, \x1b...), so
// that each file stays on one line and no name can steer the terminal. Exit
// status 0 when no file failed, 1 when any failed (or no input file was
// found), 2 for a usage error, 130 when interrupted.
#include <fcntl.h>
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
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli/terminal_text.h"
#include "convert/conversion_job.h"
#include "convert/file_list.h"
#include "convert/library_logs.h"
#include "convert/output_files.h"
#include "heif2jpg/heif2jpg.h"

#ifndef AMBREL_VERSION
#define AMBREL_VERSION "unknown"
#endif

namespace ambrel::cli {

namespace {

const char* const kUsage =
    "Usage: ambrel-convert [options] INPUT...\n"
    "  or:  ambrel-convert [options] --stdout INPUT|- > OUTPUT\n"
    "Converts HEIC files into JPEG, PNG, BMP, TIFF or JPEG 2000 files. An INPUT is a\n"
    "file (converted whatever its name) or a folder (its files named *.heic, *.heif or\n"
    "*.hif, in any letter case, in natural order); '-' reads one file from standard input.\n"
    "\n"
    "  -f, --format JPG|PNG|BMP|JPEG2000|TIFF   output format, default JPG (any letter case;\n"
    "                           also JPEG, TIF, JP2, J2K)\n"
    "  -s, --scale PERCENT      1 to 100, default 100\n"
    "      --max-size N         scale down so that the longer side is at most N pixels\n"
    "  -q, --quality PERCENT    JPEG quality, or JPEG 2000's rate (100: lossless), 1 to 100,\n"
    "                           default 90; PNG, TIFF and BMP are always lossless\n"
    "      --depth 8|16         bits a sample: 16 writes 16-bit PNG and TIFF, and JPEG 2000 at\n"
    "                           the source's precision (10 or 12 bits); default 8\n"
    "      --no-exif            do not carry EXIF or XMP (the rotation is then applied to the pixels)\n"
    "  -o, --output DIR         save into DIR (created with its parents); default: beside each\n"
    "                           source; with -r the subfolders are mirrored under DIR\n"
    "      --plain-names        name outputs STEM.EXT instead of STEM_TIMESTAMP.EXT (STEM: the\n"
    "                           name before its last dot)\n"
    "      --skip-existing      leave a file whose output name is taken (counted as skipped)\n"
    "      --overwrite          replace a file whose output name is taken\n"
    "  -j, --jobs N             files converted at once, default the number of cores\n"
    "  -r, --recursive          also take the HEIF files in the folders' subfolders\n"
    "      --keep-dates         give each output its source's modification time\n"
    "      --files-from FILE    also convert the paths listed in FILE, one a line ('-': standard\n"
    "                           input)\n"
    "  -0, --null               the paths in --files-from end with a NUL byte, not a newline\n"
    "      --json               one JSON object a file on standard output (source, output,\n"
    "                           status, reason, width, height, bytes, milliseconds), and one\n"
    "                           for each further file --aux, --all-images or --frames writes\n"
    "      --aux                also write each auxiliary image of the converted image (depth\n"
    "                           map, HDR gain map, alpha plane...) as a grey picture:\n"
    "                           OUTSTEM_depth.EXT, _gainmap, _alpha, _disparity, _aux1, _aux2...\n"
    "                           (OUTSTEM: the output's own name); without -f, one of more\n"
    "                           than 8 bits is written as 16-bit PNG\n"
    "      --all-images         also write every other image of the file (not a thumbnail,\n"
    "                           hidden or auxiliary image) in item order: OUTSTEM_2.EXT, _3...\n"
    "      --frames             also write every frame of an image sequence in presentation\n"
    "                           order: OUTSTEM_f0001.EXT, _f0002...; a file with only a\n"
    "                           sequence writes its frames alone (its first frame is the\n"
    "                           file's picture otherwise)\n"
    "      --stdout             write the single output to standard output\n"
    "      --quiet              print only the files that failed\n"
    "  -h, --help               print this help\n"
    "      --version            print the version\n"
    "\n"
    "Every format carries the image's colour profile and, unless --no-exif is given, its EXIF\n"
    "and XMP (BMP only the profile); PNG, TIFF and JPEG 2000 keep an alpha plane.\n"
    "Output names are decided in input order before converting, whatever -j says. Unless\n"
    "--overwrite is given no file is ever replaced: a name already taken gets _2, _3...\n"
    "appended (or, with --skip-existing, the source is skipped).\n"
    "Exit status: 0 no file failed, 1 some file failed or none found, 2 usage error,\n"
    "130 interrupted (the files being written are finished or abandoned, none is left half\n"
    "written).\n";

struct CliOptions
{
    convert::JobOptions job;
    std::vector<std::string> inputs;
    std::vector<std::string> listFiles;  // --files-from
    bool nullSeparated = false;
    bool recursive = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool json = false;
    bool toStdout = false;
    bool formatGiven = false;  // -f: auxiliary images take the format whatever their depth
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
bool takeValueOption(const std::string& name, const std::function<std::string()>& value, CliOptions& options)
{
    convert::JobOptions& job = options.job;
    if (name == "-f" || name == "--format") {
        const std::string word = value();
        const auto format = convert::parseFormatName(word);
        if (!format) {
            throw UsageError{"unknown format '" + word + "' (JPG, PNG, BMP, JPEG2000 or TIFF)"};
        }
        job.format = *format;
        options.formatGiven = true;
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
    } else if (name == "--max-size") {
        job.maxSide = static_cast<std::uint32_t>(numberInRange(name, value(), 1, 65535));
    } else if (name == "--files-from") {
        const std::string file = value();
        if (file.empty()) {
            throw UsageError{"option --files-from needs a file"};
        }
        options.listFiles.push_back(file);
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
    } else if (name == "--version") {
        target = &options.version;
    } else if (name == "--json") {
        target = &options.json;
    } else if (name == "--aux") {
        target = &options.job.auxiliary;
    } else if (name == "--all-images") {
        target = &options.job.allImages;
    } else if (name == "--frames") {
        target = &options.job.frames;
    } else if (name == "--stdout") {
        target = &options.toStdout;
    } else if (name == "-0" || name == "--null") {
        target = &options.nullSeparated;
    } else if (name == "--skip-existing" || name == "--overwrite") {
        const auto choice = name == "--overwrite" ? convert::ExistingOutput::Overwrite : convert::ExistingOutput::Skip;
        if (options.job.existing != convert::ExistingOutput::NewName && options.job.existing != choice) {
            throw UsageError{"options --skip-existing and --overwrite exclude each other"};
        }
        if (given.attached) {
            throw UsageError{"option " + name + " takes no value"};
        }
        options.job.existing = choice;
        return true;
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
    options.job.quality = 90;
    options.job.planNames = true;

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
        if (!takeValueOption(given.name, value, options) && !takeFlag(given, options)) {
            throw UsageError{"unknown option '" + argument + "'"};
        }
    }
    if (options.help || options.version) {
        return options;
    }
    options.job.auxiliaryPngWhenDeep = !options.formatGiven;
    if (options.toStdout && (options.job.auxiliary || options.job.allImages || options.job.frames)) {
        throw UsageError{"--stdout writes one file, and excludes --aux, --all-images and --frames"};
    }
    if (options.inputs.empty() && options.listFiles.empty()) {
        throw UsageError{"no INPUT given"};
    }
    const bool readsStdin = std::find(options.inputs.begin(), options.inputs.end(), "-") != options.inputs.end();
    const auto listsFromStdin = std::count(options.listFiles.begin(), options.listFiles.end(), "-");
    if (readsStdin && (options.inputs.size() > 1 || !options.listFiles.empty())) {
        throw UsageError{"'-' (standard input) must be the only INPUT"};
    }
    if (readsStdin && !options.toStdout) {
        throw UsageError{"'-' (standard input) needs --stdout"};
    }
    if (listsFromStdin > 1) {
        throw UsageError{"--files-from - is given more than once"};
    }
    if (options.toStdout) {
        if (options.inputs.size() != 1 || !options.listFiles.empty()) {
            throw UsageError{"--stdout takes exactly one INPUT"};
        }
        if (options.json) {
            throw UsageError{"--stdout and --json exclude each other"};
        }
        if (options.job.outputFolder) {
            throw UsageError{"--stdout and --output exclude each other"};
        }
    }
    return options;
}

std::atomic<bool> interrupted{false};

void onInterrupt(int)
{
    interrupted = true;
}

// The text as a JSON string. Valid UTF-8 stays; a byte that is not part of
// it (JSON text is UTF-8) becomes U+FFFD.
std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
                continue;
            }
            out += text.substr(i, length);
            i += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

// Prints the rows in list order as their outcomes arrive, with a progress
// bar on a terminal's standard error.
class Reporter : public convert::JobListener
{
public:
    Reporter(const std::vector<convert::FileRecord>& records, std::FILE* report, bool quiet, bool json)
        : mRecords(records), mReport(report), mQuiet(quiet), mJson(json), mLines(records.size()),
          mFacts(records.size()), mExtras(records.size()), mProgress(!quiet && ::isatty(STDERR_FILENO) == 1)
    {
        drawProgress();
    }

    void rowFacts(std::size_t row, const convert::RowFacts& facts) override { mFacts[row] = facts; }

    void extraConverted(std::size_t row, const std::string& outputPath, const convert::RowFacts& facts) override
    {
        std::string& lines = mExtras[row];
        if (mJson) {
            lines += "\n" + jsonObject(row, outputPath, "converted", std::nullopt, facts);
        } else if (!mQuiet) {
            lines += "\n" + terminalSafe(mRecords[row].heicPath + " -> " + outputPath);
        }
    }

    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        if (mJson) {
            mLines[row] = jsonLine(row, outputPath, "converted", std::nullopt) + mExtras[row];
        } else if (!mQuiet) {
            mLines[row] = terminalSafe(mRecords[row].heicPath + " -> " + outputPath) + mExtras[row];
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    // The cause in English rather than the application's row text.
    void rowFailed(std::size_t row, const std::string& /*text*/, const std::string& detail) override
    {
        mLines[row] = mJson ? jsonLine(row, std::nullopt, "failed", detail)
                            : terminalSafe(mRecords[row].heicPath + ": " + detail);
        rowDone();
    }

    void rowSkipped(std::size_t row, const std::string& existingPath) override
    {
        if (mJson) {
            mLines[row] = jsonLine(row, existingPath, "skipped", "the output exists");
        } else if (!mQuiet) {
            mLines[row] = terminalSafe(mRecords[row].heicPath + ": skipped, " + existingPath + " exists");
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    void jobStopped() override { endProgress(); }
    void jobFinished(int) override { endProgress(); }

    // A failed row's own line already gives its reason; the library's
    // record of the failure stays out of the report.
    void logLine(const std::string& line) override
    {
        if (!mQuiet && !line.starts_with("input_Buffer: ")) {
            eraseProgress();
            std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
            drawProgress();
        }
    }

private:
    std::string jsonLine(std::size_t row, const std::optional<std::string>& output, const char* status,
                         const std::optional<std::string>& reason) const
    {
        return jsonObject(row, output, status, reason, mFacts[row]);
    }

    std::string jsonObject(std::size_t row, const std::optional<std::string>& output, const char* status,
                           const std::optional<std::string>& reason, const convert::RowFacts& facts) const
    {
        return "{\"source\":" + jsonString(mRecords[row].heicPath) +
               ",\"output\":" + (output ? jsonString(*output) : "null") + ",\"status\":\"" + status +
               "\",\"reason\":" + (reason ? jsonString(*reason) : "null") +
               ",\"width\":" + std::to_string(facts.width) + ",\"height\":" + std::to_string(facts.height) +
               ",\"bytes\":" + std::to_string(facts.bytes) + ",\"milliseconds\":" + std::to_string(facts.milliseconds) +
               "}";
    }

    void rowDone()
    {
        ++mDone;
        eraseProgress();
        while (mNextLine < mLines.size() && mLines[mNextLine]) {
            if (!mLines[mNextLine]->empty()) {
                std::fprintf(mReport, "%s\n", mLines[mNextLine]->c_str());
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
    bool mJson;
    std::vector<std::optional<std::string>> mLines;
    std::vector<convert::RowFacts> mFacts;
    std::vector<std::string> mExtras;  // the lines of the rows' further files, each led by a newline
    bool mProgress;
    std::size_t mDone = 0;
    std::size_t mNextLine = 0;
};

void message(const std::string& line)
{
    std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
}

std::string plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The paths listed in a --files-from file ("-": standard input): one a line,
// or NUL-terminated; empty entries are ignored. nullopt when it cannot be read.
std::optional<std::vector<std::string>> listedPaths(const std::string& file, bool nullSeparated, std::string& reason)
{
    std::string text;
    if (file == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            reason = std::error_code(errno, std::generic_category()).message();
            return std::nullopt;
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> paths;
    const char separator = nullSeparated ? '\0' : '\n';
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string path = text.substr(begin, end - begin);
        if (!nullSeparated && path.ends_with('\r')) {
            path.pop_back();
        }
        if (!path.empty()) {
            paths.push_back(std::move(path));
        }
        begin = end + 1;
    }
    return paths;
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

private:
    void takeFolder(const std::string& folder)
    {
        const convert::FolderScan scan = convert::scanFolder(folder, mOptions.recursive);
        for (const auto& entry : scan.files) {
            add(entry.path, mOptions.recursive ? entry.relative : std::string());
        }
        if (mOptions.quiet) {
            return;
        }
        if (scan.otherFiles != 0) {
            message(folder + ": skipped " + plural(scan.otherFiles, "file", "files") +
                    " not named .heic, .heif or .hif");
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
};

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

void printSummary(std::FILE* to, const convert::JobSummary& summary, int total)
{
    std::fprintf(to, "%d converted, %d failed", summary.converted, summary.failed);
    if (summary.skipped != 0) {
        std::fprintf(to, ", %d skipped", summary.skipped);
    }
    if (summary.stopped) {
        std::fprintf(to, ", %d not converted (interrupted)",
                     total - summary.converted - summary.failed - summary.skipped);
    }
    std::fprintf(to, "\n");
}

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
        const auto paths = listedPaths(file, options.nullSeparated, reason);
        if (!paths) {
            std::string line = "ambrel-convert: cannot read the list " + file;
            line += ": ";
            line += reason;
            message(line);
            return 2;
        }
        for (const auto& path : *paths) {
            collector.take(path);
        }
    }
    if (collector.records().empty()) {
        message("ambrel-convert: no HEIF file found");
        return 1;
    }
    stopOnInterrupt();

    convert::JobDescription job{options.job, std::move(collector.records())};
    Reporter reporter(job.records, stdout, options.quiet, options.json);
    const convert::JobSummary summary = convert::runConversionJob(job, reporter, interrupted);
    const int total = static_cast<int>(job.records.size());
    if (!options.quiet) {
        printSummary(options.json ? stderr : stdout, summary, total);
    }
    std::fflush(stdout);
    if (interrupted) {
        return 130;
    }
    return summary.failed == 0 && !summary.stopped ? 0 : 1;
}

}  // namespace ambrel::cli

int main(int argc, char** argv)
{
    return ambrel::cli::convertMain(argc, argv);
}
