#include "cli/options.h"

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

namespace ambrel::cli {

extern const char* const kUsage;
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

namespace {

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

}  // namespace

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

}  // namespace ambrel::cli
