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

const char* const kUsage =
    "Usage: ambrel-convert [options] INPUT...\n"
    "  or:  ambrel-convert [options] --stdout INPUT|- > OUTPUT\n"
    "Converts HEIC files into JPEG, PNG, BMP, TIFF, JPEG 2000 or WebP files. An INPUT is a\n"
    "file (converted whatever its name) or a folder (its files named *.heic, *.heif,\n"
    "*.hif or *.avif, in any letter case, in natural order); '-' reads one file from\n"
    "standard input.\n"
    "\n"
    "  -f, --format JPG|PNG|BMP|JPEG2000|TIFF|WEBP   output format, default JPG (any letter\n"
    "                           case; also JPEG, TIF, JP2, J2K)\n"
    "  -s, --scale PERCENT      1 to 100, default 100\n"
    "      --max-size N         scale down so that the longer side is at most N pixels\n"
    "  -q, --quality PERCENT    JPEG quality, or JPEG 2000's and WebP's (100: lossless), 1 to\n"
    "                           100, default 90; PNG, TIFF and BMP are always lossless\n"
    "      --depth 8|16         bits a sample: 16 writes 16-bit PNG and TIFF, and JPEG 2000 at\n"
    "                           the source's precision (10 or 12 bits); default 8\n"
    "      --no-exif            do not carry EXIF or XMP (the rotation is then applied to the pixels)\n"
    "      --no-hdr             write JPEG without the photo's HDR gain map (by default an\n"
    "                           iPhone, Samsung or ISO gain map is kept: HDR screens show the\n"
    "                           JPEG in HDR, others the same picture as without it)\n"
    "  -o, --output DIR         save into DIR (created with its parents); default: beside each\n"
    "                           source; with -r the subfolders are mirrored under DIR\n"
    "      --timestamp-names    name outputs STEM_TIMESTAMP.ext instead of STEM.ext (STEM: the\n"
    "                           name before its last dot; TIMESTAMP: the run's start, in\n"
    "                           milliseconds since 1970)\n"
    "      --plain-names        name outputs STEM.ext (the default)\n"
    "      --upper-case-extensions  .JPG .PNG .BMP .JP2 .TIFF .WEBP instead of .jpg .png .bmp\n"
    "                           .jp2 .tif .webp\n"
    "      --skip-existing      leave a file whose output name is taken (counted as skipped);\n"
    "                           with --timestamp-names, an output of any earlier run\n"
    "      --overwrite          replace a file whose output name is taken (never a source of\n"
    "                           the run: that output takes the next free name, said in its line)\n"
    "  -j, --jobs N             files converted at once, default the number of cores\n"
    "  -r, --recursive          also take the HEIF files in the folders' subfolders\n"
    "      --keep-dates         give each output its source's modification time\n"
    "      --files-from FILE    also convert the paths listed in FILE, one a line ('-': standard\n"
    "                           input), read as it comes; an entry longer than PATH_MAX bytes\n"
    "                           ends the run with a usage error\n"
    "  -0, --null               the paths in --files-from end with a NUL byte, not a newline\n"
    "      --json               one JSON object a file on standard output (source, output,\n"
    "                           status, reason, width, height, bytes, milliseconds, hdr:\n"
    "                           \"apple\", \"iso\", \"samsung\" or null, and a note when there\n"
    "                           is one), and one for each further file --aux,\n"
    "                           --all-images or --frames writes. A name that is not valid\n"
    "                           UTF-8 is given with each backslash doubled and each byte that\n"
    "                           is not UTF-8 as \\xNN, and source_escaped or output_escaped true\n"
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
    "and XMP (BMP only the profile); PNG, TIFF, JPEG 2000 and WebP keep an alpha plane.\n"
    "Output names are decided in input order before converting, whatever -j says. Unless\n"
    "--overwrite is given no file is ever replaced: a name already taken gets _2, _3...\n"
    "appended (or, with --skip-existing, the source is skipped). Short options combine\n"
    "(-rj2); '--' ends the options.\n"
    "Ctrl-C (or SIGTERM, SIGHUP) starts no further file and lets the files being written\n"
    "finish; a second one abandons them (removed). Either way the summary is printed.\n"
    "Exit status: 0 no file failed, 1 some file failed or none found, 2 usage error,\n"
    "130 interrupted (129 after SIGHUP, 143 after SIGTERM); no file is left half written.\n";

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
    bool timestampNames = false;
    bool plainNames = false;
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
            throw UsageError{"unknown format '" + word + "' (JPG, PNG, BMP, JPEG2000, TIFF or WEBP)"};
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
    } else if (name == "--no-hdr") {
        target = &options.job.keepHdr;
        setting = false;
    } else if (name == "--plain-names") {
        target = &options.plainNames;
    } else if (name == "--timestamp-names") {
        target = &options.timestampNames;
    } else if (name == "--upper-case-extensions") {
        target = &options.job.lowerCaseExtensions;
        setting = false;
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

// Whether the short option ("-j") takes a value.
bool takesValue(const std::string& name)
{
    return name == "-f" || name == "-s" || name == "-q" || name == "-o" || name == "-j";
}

// The value of an option that takes one: attached to it, or the next
// argument (which `i` then steps over). Read only when the option asks.
std::function<std::string()> valueAfter(const GivenOption& given, int& i, int argc, char** argv)
{
    return [&given, &i, argc, argv]() -> std::string {
        if (given.attached) {
            return *given.attached;
        }
        if (i + 1 >= argc) {
            throw UsageError{"option " + given.name + " needs a value"};
        }
        return argv[++i];
    };
}

CliOptions parseArguments(int argc, char** argv)
{
    CliOptions options;
    const unsigned cores = std::thread::hardware_concurrency();
    options.job.workers = cores == 0 ? 1 : cores;
    options.job.quality = 90;
    options.job.planNames = true;
    options.job.lowerCaseExtensions = true;

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
        if (argument[1] != '-' && argument.size() > 2 && !takesValue(argument.substr(0, 2))) {
            // Combined short options ("-rj2"): each flag in turn, up to one
            // that takes a value, which takes the rest.
            std::string rest = argument.substr(1);
            while (!rest.empty() && !takesValue(std::string("-") + rest[0])) {
                if (!takeFlag(GivenOption{std::string("-") + rest[0], std::nullopt}, options)) {
                    throw UsageError{"unknown option '-" + std::string(1, rest[0]) + "' in '" + argument + "'"};
                }
                rest.erase(0, 1);
            }
            if (rest.empty()) {
                continue;
            }
            rest.insert(0, "-");
            const GivenOption given = splitOption(rest);
            takeValueOption(given.name, valueAfter(given, i, argc, argv), options);
            continue;
        }
        const GivenOption given = splitOption(argument);
        if (!takeValueOption(given.name, valueAfter(given, i, argc, argv), options) && !takeFlag(given, options)) {
            throw UsageError{"unknown option '" + argument + "'"};
        }
    }
    if (options.help || options.version) {
        return options;
    }
    options.job.auxiliaryPngWhenDeep = !options.formatGiven;
    if (options.plainNames && options.timestampNames) {
        throw UsageError{"options --plain-names and --timestamp-names exclude each other"};
    }
    options.job.plainNames = !options.timestampNames;
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

// The text as a JSON string. Valid UTF-8 stays. Text that is not valid UTF-8
// (JSON text is UTF-8) is given losslessly instead, `escaped` set: each
// backslash doubled and each byte that is not part of UTF-8 as "\xNN" (in the
// decoded string), so that reading the string back, "\\" gives "\" and
// "\xNN" the byte.
std::string jsonString(std::string_view text, bool* escaped = nullptr)
{
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : utf8SequenceLength(text, i);
        valid = length != 0;
        i += length;
    }
    if (escaped != nullptr) {
        *escaped = !valid;
    }
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += valid ? "\\\\" : "\\\\\\\\";
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
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\\\x%02x", c);
                out += escape;
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

void printSummary(std::FILE* to, const convert::JobSummary& summary, int total, std::size_t abandoned = 0)
{
    std::fprintf(to, "%d converted, %d failed", summary.converted, summary.failed);
    if (summary.skipped != 0) {
        std::fprintf(to, ", %d skipped", summary.skipped);
    }
    if (summary.stopped) {
        std::fprintf(to, ", %d not converted (interrupted",
                     total - summary.converted - summary.failed - summary.skipped);
        if (abandoned != 0) {
            std::fprintf(to, "; %zu being written abandoned", abandoned);
        }
        std::fprintf(to, ")");
    }
    std::fprintf(to, "\n");
}

// Prints the rows in list order as their outcomes arrive, with a progress
// bar on a terminal's standard error. Its calls may come from the job's
// workers and from the thread that watches for signals at once.
class Reporter : public convert::JobListener
{
public:
    Reporter(const std::vector<convert::FileRecord>& records, std::FILE* report, bool quiet, bool json)
        : mRecords(records), mReport(report), mQuiet(quiet), mJson(json), mLines(records.size()),
          mFacts(records.size()), mExtras(records.size()), mProgress(!quiet && ::isatty(STDERR_FILENO) == 1)
    {
        drawProgress();
    }

    void rowStarted(std::size_t /*row*/) override
    {
        const std::lock_guard lock(mMutex);
        ++mStarted;
    }

    void rowFacts(std::size_t row, const convert::RowFacts& facts) override
    {
        const std::lock_guard lock(mMutex);
        mFacts[row] = facts;
    }

    void extraConverted(std::size_t row, const std::string& outputPath, const convert::RowFacts& facts) override
    {
        const std::lock_guard lock(mMutex);
        std::string& lines = mExtras[row];
        if (mJson) {
            lines += "\n" + jsonObject(row, outputPath, "converted", std::nullopt, facts);
        } else if (!mQuiet) {
            lines += "\n" + textLine(row, " -> " + outputPath, facts);
        }
    }

    void rowConverted(std::size_t row, const std::string& outputPath) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.converted;
        if (mJson) {
            mLines[row] = jsonLine(row, outputPath, "converted", std::nullopt) + mExtras[row];
        } else if (!mQuiet) {
            mLines[row] = textLine(row, " -> " + outputPath, mFacts[row]) + mExtras[row];
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    // The cause in English rather than the application's row text.
    void rowFailed(std::size_t row, const std::string& /*text*/, const std::string& detail) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.failed;
        mLines[row] = mJson ? jsonLine(row, std::nullopt, "failed", detail) : textLine(row, ": " + detail, {});
        rowDone();
    }

    void rowSkipped(std::size_t row, const std::string& existingPath) override
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.skipped;
        if (mJson) {
            mLines[row] = jsonLine(row, existingPath, "skipped", "the output exists");
        } else if (!mQuiet) {
            mLines[row] = textLine(row, ": skipped, " + existingPath + " exists", {});
        } else {
            mLines[row] = std::string();
        }
        rowDone();
    }

    void jobStopped() override
    {
        const std::lock_guard lock(mMutex);
        endProgress();
    }
    void jobFinished(int) override
    {
        const std::lock_guard lock(mMutex);
        endProgress();
    }

    // A failed row's own line already gives its reason; the library's
    // record of the failure stays out of the report.
    void logLine(const std::string& line) override
    {
        const std::lock_guard lock(mMutex);
        if (!mQuiet && !line.starts_with("input_Buffer: ")) {
            eraseProgress();
            std::fprintf(stderr, "%s\n", terminalSafe(line).c_str());
            drawProgress();
        }
    }

    // An input that gave no row: a folder that could not be read. Reported
    // (before the job's rows) and counted as failed.
    void inputFailed(const std::string& path, const std::string& reason)
    {
        const std::lock_guard lock(mMutex);
        ++mSummary.failed;
        ++mInputFailures;
        bool escaped = false;
        const std::string line = mJson ? "{\"source\":" + jsonString(path, &escaped) +
                                             ",\"output\":null,\"status\":\"failed\",\"reason\":" + jsonString(reason) +
                                             ",\"width\":0,\"height\":0,\"bytes\":0,\"milliseconds\":0" +
                                             (escaped ? ",\"source_escaped\":true}" : "}")
                                       : terminalSafe(path + ": " + reason);
        eraseProgress();
        std::fprintf(mReport, "%s\n", line.c_str());
        drawProgress();
    }

    // Rows taken and not yet reported: the files being written.
    std::size_t inProgress()
    {
        const std::lock_guard lock(mMutex);
        return mStarted - mDone;
    }

    // Ends the report: the summary (where `summaryTo` says, when not null),
    // once. False when it had ended already. With `abandoned`, the files
    // being written were given up: the rows reported so far are printed
    // whatever their order, then the summary.
    bool finish(std::FILE* summaryTo, int total, bool stopped, std::optional<std::size_t> abandoned)
    {
        const std::lock_guard lock(mMutex);
        if (mFinished) {
            return false;
        }
        mFinished = true;
        endProgress();
        if (abandoned) {
            for (; mNextLine < mLines.size(); ++mNextLine) {
                if (mLines[mNextLine] && !mLines[mNextLine]->empty()) {
                    std::fprintf(mReport, "%s\n", mLines[mNextLine]->c_str());
                }
            }
        }
        if (summaryTo != nullptr) {
            convert::JobSummary summary = mSummary;
            summary.stopped = stopped;
            printSummary(summaryTo, summary, total + static_cast<int>(mInputFailures), abandoned.value_or(0));
        }
        std::fflush(stdout);
        std::fflush(stderr);
        return true;
    }

private:
    // The row's line in text: its source, then `rest`, then its note.
    std::string textLine(std::size_t row, const std::string& rest, const convert::RowFacts& facts) const
    {
        std::string line = mRecords[row].heicPath + rest;
        if (!facts.note.empty()) {
            line += " (" + facts.note + ")";
        }
        return terminalSafe(line);
    }

    std::string jsonLine(std::size_t row, const std::optional<std::string>& output, const char* status,
                         const std::optional<std::string>& reason) const
    {
        return jsonObject(row, output, status, reason, mFacts[row]);
    }

    std::string jsonObject(std::size_t row, const std::optional<std::string>& output, const char* status,
                           const std::optional<std::string>& reason, const convert::RowFacts& facts) const
    {
        bool sourceEscaped = false;
        bool outputEscaped = false;
        std::string object =
            "{\"source\":" + jsonString(mRecords[row].heicPath, &sourceEscaped) +
            ",\"output\":" + (output ? jsonString(*output, &outputEscaped) : "null") + ",\"status\":\"" + status +
            "\",\"reason\":" + (reason ? jsonString(*reason) : "null") + ",\"width\":" + std::to_string(facts.width) +
            ",\"height\":" + std::to_string(facts.height) + ",\"bytes\":" + std::to_string(facts.bytes) +
            ",\"milliseconds\":" + std::to_string(facts.milliseconds) +
            ",\"hdr\":" + (facts.hdr.empty() ? std::string("null") : jsonString(facts.hdr));
        if (!facts.note.empty()) {
            object += ",\"note\":" + jsonString(facts.note);
        }
        if (sourceEscaped) {
            object += ",\"source_escaped\":true";
        }
        if (outputEscaped) {
            object += ",\"output_escaped\":true";
        }
        return object + "}";
    }

    void rowDone()
    {
        ++mDone;
        if (mFinished) {
            return;  // abandoned: the report has ended
        }
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
    std::size_t mStarted = 0;
    std::size_t mDone = 0;
    std::size_t mNextLine = 0;
    convert::JobSummary mSummary;  // the rows reported, and the inputs that failed
    std::size_t mInputFailures = 0;
    bool mFinished = false;
    std::mutex mMutex;
};

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
