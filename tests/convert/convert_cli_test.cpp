// ambrel-convert run as a process: usage errors, the report on standard
// output, exit statuses, naming options, folders and the corpus.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <json/json.h>

#include <fstream>
#include <sstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/convert/convert_test_support.h"

using namespace ambrel::heif;
using namespace ambrel::convert;

using namespace converttest;

namespace {

struct CliRun
{
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines;  // of standard output
};

CliRun runCli(const std::vector<std::string>& arguments, const std::string& environment = {},
              const std::string& standardInput = {})
{
    fixture::TempFile errors(".err");
    std::string command = environment + " " + fixture::shellQuote(AMBREL_CONVERT);
    for (const auto& argument : arguments) {
        command += " " + fixture::shellQuote(argument);
    }
    command += " 2>" + fixture::shellQuote(errors.path());
    if (!standardInput.empty()) {
        command += " <" + fixture::shellQuote(standardInput);
    }
    CliRun run;
    run.status = fixture::runCommand(command, run.out);
    run.err = readText(errors.path());
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        run.lines.push_back(line);
    }
    return run;
}

}  // namespace

TEST(ConvertCli, UsageErrorsExitWithTwo)
{
    ScratchFolder folder;
    const std::string input = folder / "IMG.heic";
    writeFile(input, gridHeic());
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus", input}, "unknown option '--bogus'"},
        {{"-x", input}, "unknown option '-x'"},
        {{"-q", "abc", input}, "'abc' is not a number"},
        {{"-q", "101", input}, "outside 1 to 100"},
        {{"--quality=0", input}, "outside 1 to 100"},
        {{"-s", "0", input}, "outside 1 to 100"},
        {{"-s101", input}, "outside 1 to 100"},
        {{"-s", "5x", input}, "not a number"},
        {{"-f", "GIF", input}, "unknown format 'GIF'"},
        {{"-j", "0", input}, "outside 1 to 1024"},
        {{"--depth", "12", input}, "--depth takes 8 or 16"},
        {{input, "--format"}, "needs a value"},
        {{"--quiet=yes", input}, "takes no value"},
        {{}, "no INPUT"},
        {{"--skip-existing", "--overwrite", input}, "--skip-existing and --overwrite exclude each other"},
        {{"--max-size", "0", input}, "outside 1 to 65535"},
        {{"-", input, "--stdout"}, "'-' (standard input) must be the only INPUT"},
        {{"-"}, "'-' (standard input) needs --stdout"},
        {{"--stdout", input, input}, "--stdout takes exactly one INPUT"},
        {{"--stdout", "--json", input}, "--stdout and --json exclude each other"},
        {{"-rx", input}, "unknown option '-x' in '-rx'"},
        {{"--plain-names", "--timestamp-names", input}, "exclude each other"},
        {{"--files-from", folder.path()}, "cannot read the list " + folder.path() + ": a folder, not a list of files"},
        {{"--files-from", "/dev/zero"}, "an entry of more than 4096 bytes"},
        {{"-0", "--files-from", "/dev/zero"}, "more than 10000000 entries"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        const CliRun run = runCli(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_EQ(run.err.rfind("ambrel-convert: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
    EXPECT_EQ(folderNames(folder.path()), (std::vector<std::string>{"IMG.heic"}));  // nothing converted

    // Short options combine, and "--" ends the options.
    writeFile(folder / "-IMG.heic", gridHeic());
    const CliRun combined =
        runCli({"-rj1", "-fpng", "--", "-IMG.heic"}, "cd " + fixture::shellQuote(folder.path()) + " &&");
    EXPECT_EQ(combined.status, 0) << combined.err;
    EXPECT_EQ(combined.lines.at(0), "-IMG.heic -> ./-IMG.png");

    const CliRun help = runCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: ambrel-convert [options] INPUT...", 0), 0u);
    for (const char* option :
         {"--format", "--scale",       "--quality",       "--depth",           "--no-exif",
          "--output", "--plain-names", "--jobs",          "--recursive",       "--keep-dates",
          "--quiet",  "--max-size",    "--skip-existing", "--overwrite",       "--files-from",
          "--json",   "--stdout",      "--version",       "--timestamp-names", "--upper-case-extensions",
          "--no-hdr"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const CliRun version = runCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "ambrel-convert " AMBREL_PROJECT_VERSION "\n");
}

TEST(ConvertCli, FolderBesideSourcesWithTimestamps)
{
    ScratchFolder folder;
    const std::string in = folder / "in";
    writeFile(in + "/b.HEIC", gridHeic());
    writeFile(in + "/a.heic", gridHeic());
    writeFile(in + "/notes.txt", {'n'});
    writeFile(in + "/sub/c.heic", gridHeic());

    const CliRun run = runCli({"--timestamp-names", in});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 3u) << run.out;
    const std::string prefix = in + "/a.heic -> " + in + "/a_";
    ASSERT_EQ(run.lines[0].rfind(prefix, 0), 0u) << run.lines[0];
    ASSERT_TRUE(run.lines[0].ends_with(".jpg")) << run.lines[0];
    const std::string stamp = run.lines[0].substr(prefix.size(), run.lines[0].size() - prefix.size() - 4);
    EXPECT_TRUE(isTimestamp(stamp)) << stamp;
    EXPECT_EQ(run.lines[1], in + "/b.HEIC -> " + in + "/b_" + stamp + ".jpg");
    EXPECT_EQ(run.lines[2], "2 converted, 0 failed");
    EXPECT_EQ(imageSize(in + "/b_" + stamp + ".jpg"), (ImageSize{192, 128}));
    EXPECT_EQ(folderNames(in + "/sub"), (std::vector<std::string>{"c.heic"}));  // not without -r
    // --skip-existing takes an earlier run's timestamped output as the file's.
    EXPECT_EQ(runCli({"--timestamp-names", "--skip-existing", in}).lines.back(), "0 converted, 0 failed, 2 skipped");
    // By default the names are plain.
    EXPECT_EQ(runCli({"-j1", in}).lines.at(0), in + "/a.heic -> " + in + "/a.jpg");
}

TEST(ConvertCli, RecursiveIntoOutputFolderWithPlainNames)
{
    ScratchFolder folder;
    const std::string in = folder / "in";
    writeFile(in + "/a.heic", gridHeic());
    writeFile(in + "/sub/deeper/c.heic", gridHeic());
    writeFile(in + "/sub/skip.jpg", {'j'});
    const std::string out = folder / "out/x/y";
    const std::string missing = folder / "missing.heic";
    const std::vector<std::string> arguments = {
        "-r", "--plain-names", "-o",           out, "-f",    "PNG",         "--scale=50", "-q", "80", "-j",
        "2",  "--no-exif",     "--keep-dates", in,  missing, in + "/a.heic"};

    const CliRun first = runCli(arguments);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.lines, (std::vector<std::string>{
                               in + "/a.heic -> " + out + "/a.png",
                               in + "/sub/deeper/c.heic -> " + out + "/sub/deeper/c.png",
                               missing + ": cannot open the file: No such file or directory",
                               "2 converted, 1 failed",
                           }));
    EXPECT_NE(first.err.find(in + "/a.heic: given more than once, converted once"), std::string::npos) << first.err;
    EXPECT_EQ(imageSize(out + "/a.png"), (ImageSize{96, 64}));

    // Again into the same folder: nothing is replaced.
    const CliRun second = runCli(arguments);
    EXPECT_EQ(second.lines[0], in + "/a.heic -> " + out + "/a_2.png");
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"a.png", "a_2.png", "sub"}));
    EXPECT_EQ(folderNames(out + "/sub/deeper"), (std::vector<std::string>{"c.png", "c_2.png"}));

    // --quiet: only the failures.
    const CliRun quiet = runCli({"--quiet", "-o", out, in + "/a.heic", missing});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.lines, (std::vector<std::string>{missing + ": cannot open the file: No such file or directory"}));
    EXPECT_TRUE(quiet.err.empty()) << quiet.err;
}

TEST(ConvertCli, NoFormatLoadsOpenCvsImageCodecs)
{
    // OpenCV's image codecs and their hundred-odd libraries make every start
    // slower; every format is written by its own library instead.
    ScratchFolder folder;
    const std::string input = folder / "IMG.heic";
    writeFile(input, gridHeic());
    const std::string tracing = "LD_DEBUG=files";
    for (const std::string format : {"JPG", "PNG", "TIFF", "JPEG2000", "BMP", "WEBP"}) {
        const CliRun run =
            runCli({"--plain-names", "--depth", "16", "-f", format, "-o", folder / format, input}, tracing);
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_NE(run.err.find("libopencv_core"), std::string::npos) << "LD_DEBUG gave no trace";
        EXPECT_EQ(run.err.find("libopencv_imgcodecs"), std::string::npos) << format;
    }
    // --depth 16 reached the encoder: the PNG header's bit depth (byte 24).
    const std::string png = readText(folder / "PNG/IMG.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png[24], 16);
}

TEST(ConvertCli, NothingToConvertExitsWithOne)
{
    ScratchFolder folder;
    writeFile(folder / "photo.jpg", {'j'});
    const CliRun run = runCli({folder.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find("no HEIF file found"), std::string::npos);
}

TEST(ConvertCli, CorpusFolderReportsOnlyOneLinePerFile)
{
    // From the folder its .heic, .heif and .hif files; the .heif file named
    // again on its own is the same file, converted once. A file that fails is
    // reported with the cause, in English.
    ScratchFolder folder;
    const CliRun run =
        runCli({"-o", folder.path(), "--plain-names", AMBREL_CORPUS_DIR, corpusPath("RGB_10__29x100.heif")});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> good = {"L_exif_xmp_iptc.heic", "L_xmp_latin1.heic",   "empty_icc.heic",
                                           "invalid_id.heic",      "zPug_3.heic",         "RGB_10__29x100.heif",
                                           "RGBA_8__128x128.heif", "RGB_8_chroma444.heif"};
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"corrupted.heic",
         "cannot read the HEIF structure: Box '\\x00\\x00\\x00\\x00' of 7627008 bytes reaches past "
         "the end of the file (4749 bytes left) (reader error 2)"},
        {"corrupted.hif", "the file is cut short: its last box reaches past the end of the file"},
        {"empty.heic", "the file is empty"},
        {"truncated.heic", "the file is cut short: its last box reaches past the end of the file"},
    };
    ASSERT_EQ(run.lines.size(), good.size() + broken.size() + 1) << run.out;
    for (const auto& name : good) {
        const std::string line = corpusPath(name) + " -> " + folder / (ambrel::convert::baseNameOf(name) + ".jpg");
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), line), run.lines.end()) << line;
    }
    for (const auto& [name, cause] : broken) {
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), corpusPath(name) + ": " + cause), run.lines.end())
            << name << "\n"
            << run.out;
    }
    EXPECT_EQ(run.lines.back(), "8 converted, 4 failed");
}

TEST(ConvertCli, ControlBytesInNamesAreEscapedOneLinePerFile)
{
    // A newline in a name would split a file's line in two, an ESC sequence
    // would steer the terminal; both print as escapes. UTF-8 names stay.
    ScratchFolder folder;
    const std::string in = folder / "in";
    const std::string out = folder / "out";
    writeFile(in + "/new\nline.heic", gridHeic());
    writeFile(in + "/clear\x1b[2J.heic", gridHeic());
    writeFile(in + "/照片.heic", gridHeic());
    writeFile(in + "/bell\x07\x7f\x9b.heic", {});
    const std::string spoof = "x\xff\xe2\x80\xaey.heic";  // not UTF-8, and a right-to-left override
    writeFile(in + "/" + spoof, gridHeic());
    const CliRun run = runCli({"-o", out, "--plain-names", "-j", "1", in});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> expected = {
        in + "/x\\xff\\u202ey.heic -> " + out + "/x\\xff\\u202ey.jpg",
        in + "/new\\nline.heic -> " + out + "/new\\nline.jpg",
        in + "/clear\\x1b[2J.heic -> " + out + "/clear\\x1b[2J.jpg",
        in + "/照片.heic -> " + out + "/照片.jpg",
        in + "/bell\\x07\\x7f\\x9b.heic: the file is empty",
    };
    ASSERT_EQ(run.lines.size(), expected.size() + 1) << run.out;
    for (const auto& line : expected) {
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), line), run.lines.end()) << line << "\n" << run.out;
    }
    EXPECT_EQ(run.lines.back(), "4 converted, 1 failed");
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(out + "/new\nline.jpg"));  // the files themselves keep their names

    // --json carries a name that is not UTF-8 losslessly, and flags it.
    const CliRun json = runCli({"--json", "-o", out, in + "/" + spoof});
    Json::Value object;
    std::istringstream line(json.lines.at(0));
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), line, &object, nullptr)) << json.out;
    EXPECT_EQ(object["source"].asString(), in + "/x\\xff\xe2\x80\xaey.heic");
    EXPECT_TRUE(object["source_escaped"].asBool());
    EXPECT_EQ(object["output"].asString(), out + "/x\\xff\xe2\x80\xaey_2.jpg");
    EXPECT_TRUE(fs::exists(out + "/x\xff\xe2\x80\xaey_2.jpg"));

    // A folder deeper than PATH_MAX fails, said so; none is skipped silently.
    fs::create_directories(folder / "deep");
    int at = ::open((folder / "deep").c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 20; ++depth) {
        const std::string name(250, static_cast<char>('a' + depth));
        ASSERT_EQ(::mkdirat(at, name.c_str(), 0755), 0);
        const int below = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(at);
        at = below;
    }
    ::close(at);
    const CliRun deep = runCli({"-r", folder / "deep"});
    EXPECT_EQ(deep.status, 1);
    EXPECT_NE(deep.err.find(": cannot read the folder: File name too long"), std::string::npos) << deep.err;

    // With standard output closed, no report line ends up in a file.
    std::string ignored;
    EXPECT_EQ(
        fixture::runCommand(fixture::shellQuote(AMBREL_CONVERT) + " -o " + fixture::shellQuote(folder / "closed") +
                                " " + fixture::shellQuote(in) + " >&- 2>&-",
                            ignored),
        1);
    for (const auto& name : folderNames(folder / "closed")) {
        const std::string bytes = readText(folder / ("closed/" + name));
        EXPECT_TRUE(bytes.ends_with("\xff\xd9")) << name;
    }
}

namespace {

// The lines of a text.
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(ConvertCli, EveryMessageSaysWhatHappenedInEnglish)
{
    ScratchFolder folder;
    const std::string good = folder / "in/good.heic";
    const std::string text = folder / "in/x.heic";
    const std::string empty = folder / "in/e.heic";
    const std::string big = folder / "in/big.heic";
    const std::string missing = folder / "in/missing.heic";
    const std::string other = folder / "in/notes.txt";
    writeFile(good, gridHeic());
    writeFile(text, {'h', 'e', 'l', 'l', 'o'});
    writeFile(empty, {});
    writeFile(other, {'n'});
    writeFile(folder / "in/sub/c.heic", gridHeic());
    fixture::GridOptions huge;
    huge.outputWidth = 20000;
    huge.outputHeight = 15000;
    writeFile(big, fixture::makeGridHeic(huge).bytes());
    const std::string out = folder / "out";
    writeFile(out + "/taken.jpg", {'t'});
    writeFile(folder / "taken.heic", gridHeic());

    struct Situation
    {
        const char* what;
        std::vector<std::string> arguments;
        bool onStandardError;
        std::string line;
    };
    const Situation situations[] = {
        {"converted", {"--plain-names", "-o", out, good}, false, good + " -> " + out + "/good.jpg"},
        {"missing", {missing}, false, missing + ": cannot open the file: No such file or directory"},
        {"not HEIF", {text}, false, text + ": not a HEIF file"},
        {"empty", {empty}, false, empty + ": the file is empty"},
        {"too many pixels",
         {big},
         false,
         big + ": the image is 300000000 pixels (20000 x 15000), more than the limit of 268435456"},
        {"skipped existing",
         {"--plain-names", "--skip-existing", "-o", out, folder / "taken.heic"},
         false,
         folder / "taken.heic: skipped, " + out + "/taken.jpg exists"},
        {"summary",
         {"--plain-names", "--skip-existing", "-o", out, good, text, folder / "taken.heic"},
         false,
         "0 converted, 1 failed, 2 skipped"},  // good.jpg is there since the first situation
        {"folder's other files",
         {folder / "in"},
         true,
         folder / "in: skipped 1 file not named .heic, .heif, .hif or .avif"},
        {"subfolders", {folder / "in"}, true, folder / "in: 1 subfolder not searched (add -r)"},
        {"same file twice", {good, good}, true, good + ": given more than once, converted once"},
        {"same file by another name",
         {good, folder / "in/../in/good.heic"},
         true,
         folder / "in/../in/good.heic: the same file as " + good + ", converted once"},
        {"nothing found", {out}, true, "ambrel-convert: no HEIF file found"},
    };
    for (const auto& s : situations) {
        SCOPED_TRACE(s.what);
        const CliRun run = runCli(s.arguments);
        const std::vector<std::string> lines = s.onStandardError ? linesOf(run.err) : run.lines;
        EXPECT_TRUE(hasLine(lines, s.line)) << (s.onStandardError ? run.err : run.out);
        // Every line is English: ASCII apart from what the file names bring.
        for (const auto& line : linesOf(run.out + run.err)) {
            EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; })) << line;
            EXPECT_EQ(line.find("input_Buffer"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(readText(out + "/taken.jpg"), "t");
}

TEST(ConvertCli, PhoneFoldersAreMirroredWithTheSameNamesWhateverTheJobs)
{
    // A phone's DCIM holds only numbered subfolders; two of them hold an
    // IMG_0001. Natural order, mirrored folders, and names fixed before
    // converting: -j 1 and -j 8 print the very same report.
    ScratchFolder folder;
    const std::string dcim = folder / "DCIM";
    for (const char* name :
         {"100APPLE/IMG_0010.HEIC", "100APPLE/IMG_0009.HEIC", "100APPLE/IMG_0001.HEIC", "101APPLE/IMG_0001.HEIC",
          "101APPLE/IMG_0002.heif", "101APPLE/DSC_3.HIF", "100APPLE/IMG_0001.heif"}) {
        writeFile(dcim + "/" + name, gridHeic());
    }
    writeFile(dcim + "/100APPLE/IMG_0001.AAE", {'x'});
    std::vector<std::vector<std::string>> reports;
    for (const std::string jobs : {"1", "8"}) {
        const std::string out = folder / ("out" + jobs);
        const CliRun run = runCli({"-r", "--plain-names", "-j", jobs, "-o", out, dcim});
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<std::string> report;
        for (const auto& line : run.lines) {
            std::string relative = line;
            for (const std::string& prefix : {dcim, out}) {
                for (auto at = relative.find(prefix); at != std::string::npos; at = relative.find(prefix)) {
                    relative.replace(at, prefix.size(), prefix == dcim ? "DCIM" : "OUT");
                }
            }
            report.push_back(relative);
        }
        reports.push_back(report);
    }
    EXPECT_EQ(reports[0], (std::vector<std::string>{
                              "DCIM/100APPLE/IMG_0001.HEIC -> OUT/100APPLE/IMG_0001.jpg",
                              "DCIM/100APPLE/IMG_0001.heif -> OUT/100APPLE/IMG_0001_2.jpg",
                              "DCIM/100APPLE/IMG_0009.HEIC -> OUT/100APPLE/IMG_0009.jpg",
                              "DCIM/100APPLE/IMG_0010.HEIC -> OUT/100APPLE/IMG_0010.jpg",
                              "DCIM/101APPLE/DSC_3.HIF -> OUT/101APPLE/DSC_3.jpg",
                              "DCIM/101APPLE/IMG_0001.HEIC -> OUT/101APPLE/IMG_0001.jpg",
                              "DCIM/101APPLE/IMG_0002.heif -> OUT/101APPLE/IMG_0002.jpg",
                              "7 converted, 0 failed",
                          }));
    EXPECT_EQ(reports[1], reports[0]);
}

TEST(ConvertCli, ExistingOutputsAreSkippedOrReplacedOnlyWhenAsked)
{
    ScratchFolder folder;
    const std::string source = folder / "in/my photo.2023.heic";  // the stem keeps its inner dot
    writeFile(source, gridHeic());
    const std::string out = folder / "out";
    const std::string output = out + "/my photo.2023.jpg";

    const CliRun first = runCli({"--plain-names", "--skip-existing", "-o", out, source});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.lines.at(0), source + " -> " + output);
    const auto written = fs::last_write_time(output);

    // The re-run of a synced folder: nothing converted, nothing failed.
    const CliRun again = runCli({"--plain-names", "--skip-existing", "-o", out, folder / "in"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.lines, (std::vector<std::string>{source + ": skipped, " + output + " exists",
                                                     "0 converted, 0 failed, 1 skipped"}));
    EXPECT_EQ(fs::last_write_time(output), written);

    // --overwrite replaces it under its name, and leaves nothing else.
    writeFile(output, {'o', 'l', 'd'});
    const CliRun replaced = runCli({"--plain-names", "--overwrite", "-o", out, source});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(replaced.lines.at(0), source + " -> " + output);
    EXPECT_EQ(imageSize(output), (ImageSize{192, 128}));
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"my photo.2023.jpg"}));

    // Neither: a new name, as always.
    const CliRun neither = runCli({"--plain-names", "-o", out, source});
    EXPECT_EQ(neither.lines.at(0), source + " -> " + out + "/my photo.2023_2.jpg");
}

TEST(ConvertCli, StandardInputToStandardOutputWithMaxSize)
{
    ScratchFolder folder;
    const std::string source = folder / "grid.heic";  // 192 x 128
    writeFile(source, gridHeic());
    const std::string result = folder / "result.png";

    const CliRun piped = runCli({"--stdout", "-f", "png", "--max-size", "96", "-"}, {}, source);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.err.empty()) << piped.err;  // messages only on standard error, and none here
    writeFile(result, fixture::Bytes(piped.out.begin(), piped.out.end()));
    EXPECT_EQ(imageSize(result), (ImageSize{96, 64}));
    EXPECT_EQ(folderNames(folder.path()), (std::vector<std::string>{"grid.heic", "result.png"}));

    // A named file to standard output; never enlarged.
    const CliRun named = runCli({"--stdout", "--max-size", "4000", source});
    EXPECT_EQ(named.status, 0) << named.err;
    writeFile(result, fixture::Bytes(named.out.begin(), named.out.end()));
    EXPECT_EQ(imageSize(result), (ImageSize{192, 128}));

    // Not HEIF on standard input: the reason on standard error, nothing on standard output.
    const CliRun bad = runCli({"--stdout", "-"}, {}, result);
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out.empty());
    EXPECT_EQ(bad.err, "standard input: not a HEIF file\n");

    // The batch takes the bound too.
    const CliRun batch = runCli({"--max-size", "64", "--plain-names", "-o", folder / "out", source});
    EXPECT_EQ(batch.status, 0) << batch.err;
    EXPECT_EQ(imageSize(folder / "out/grid.jpg"), (ImageSize{64, 43}));
}

TEST(ConvertCli, FilesFromWithJsonReportsEveryFile)
{
    ScratchFolder folder;
    const std::string a = folder / "in/a b.heic";
    const std::string bad = folder / "in/bad.heic";
    const std::string missing = folder / "in/missing.heic";
    writeFile(a, gridHeic());
    writeFile(bad, {'x'});
    const std::string list = folder / "list";
    writeFile(list, fixture::Bytes());
    {
        std::ofstream out(list, std::ios::binary);
        out << a << '\0' << bad << '\0' << missing << '\0';
    }
    const std::string out = folder / "out";
    for (const bool fromStdin : {false, true}) {
        SCOPED_TRACE(fromStdin);
        const CliRun run = fromStdin
                               ? runCli({"-0", "--json", "--plain-names", "--files-from", "-", "-o", out}, {}, list)
                               : runCli({"-0", "--json", "--plain-names", "--files-from", list, "-o", out});
        EXPECT_EQ(run.status, 1);
        ASSERT_EQ(run.lines.size(), 3u) << run.out;  // the objects only: the summary is on standard error
        std::vector<Json::Value> objects;
        for (const auto& line : run.lines) {
            Json::Value value;
            std::string errors;
            std::istringstream in(line);
            ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << line;
            objects.push_back(value);
        }
        EXPECT_EQ(objects[0]["source"].asString(), a);
        EXPECT_EQ(objects[0]["status"].asString(), "converted");
        EXPECT_TRUE(objects[0]["reason"].isNull());
        EXPECT_EQ(objects[0]["width"].asUInt(), 192u);
        EXPECT_EQ(objects[0]["height"].asUInt(), 128u);
        EXPECT_EQ(objects[0]["bytes"].asUInt64(), fs::file_size(objects[0]["output"].asString()));
        EXPECT_TRUE(objects[0]["milliseconds"].isUInt64());
        EXPECT_EQ(objects[1]["source"].asString(), bad);
        EXPECT_EQ(objects[1]["status"].asString(), "failed");
        EXPECT_TRUE(objects[1]["output"].isNull());
        EXPECT_EQ(objects[1]["reason"].asString(), "not a HEIF file");
        EXPECT_EQ(objects[2]["reason"].asString(), "cannot open the file: No such file or directory");
        EXPECT_NE(run.err.find("1 converted, 2 failed"), std::string::npos) << run.err;
    }
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"a b.jpg", "a b_2.jpg"}));
}

TEST(ConvertCli, InterruptFinishesCleanlyAndExitsWith130)
{
    ScratchFolder folder;
    fixture::GridOptions larger;
    larger.rows = 4;
    larger.columns = 4;
    larger.tileWidth = 256;
    larger.tileHeight = 256;
    const fixture::Bytes picture = fixture::makeGridHeic(larger).bytes();
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) {
        writeFile(folder / ("in/IMG_" + std::to_string(i) + ".heic"), picture);
    }
    // SIGTERM right after Ctrl-C: the files being written are abandoned.
    for (const int signal : {SIGINT, SIGHUP, SIGINT + SIGTERM}) {
        SCOPED_TRACE(signal);
        const std::string out = folder / ("out" + std::to_string(signal));
        const std::string errors = folder / "errors";

        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            const int errorFd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(errorFd, STDERR_FILENO);
            ::execl(AMBREL_CONVERT, AMBREL_CONVERT, "-j", "2", "--plain-names", "-f", "PNG", "-o", out.c_str(),
                    (folder / "in").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        std::string report;
        char buffer[4096];
        bool interrupted = false;
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            report.append(buffer, static_cast<std::size_t>(n));
            if (!interrupted && report.find('\n') != std::string::npos) {
                ::kill(child, signal == SIGHUP ? SIGHUP : SIGINT);  // as Ctrl-C does, once the batch is under way
                if (signal == SIGINT + SIGTERM) {
                    ::kill(child, SIGTERM);
                }
                interrupted = true;
            }
        }
        ::close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << report;
        EXPECT_EQ(WEXITSTATUS(status), 128 + (signal == SIGHUP ? SIGHUP : SIGINT)) << report;
        EXPECT_NE(
            readText(errors).find(signal == SIGHUP ? "; a second signal to abandon" : "; Ctrl-C again to abandon"),
            std::string::npos)
            << readText(errors);

        const std::vector<std::string> lines = linesOf(report);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.back().find("not converted (interrupted)"), std::string::npos) << report;
        // What was reported is whole; nothing else, and no temporary file, is left.
        const std::vector<std::string> names = folderNames(out);
        if (signal != SIGINT + SIGTERM) {  // an abandoned file may have been named, not reported
            EXPECT_EQ(names.size(), lines.size() - 1) << report;
        }
        EXPECT_LT(names.size(), static_cast<std::size_t>(kFiles));
        for (const auto& name : names) {
            EXPECT_EQ(name.find(".ambrel-"), std::string::npos) << name;
            EXPECT_EQ(imageSize(out + "/" + name), (ImageSize{1024, 1024})) << name;
        }
    }
}

namespace {

// The shell blocks of the README's command-line examples, each with its
// continuation lines joined and its indentation removed.
std::vector<std::string> readmeExampleBlocks()
{
    const std::string readme = readText(std::string(AMBREL_SOURCE_DIR) + "/README.md");
    const auto begin = readme.find("<!-- command-line examples:");
    const auto end = readme.find("<!-- end of the command-line examples -->");
    EXPECT_NE(begin, std::string::npos);
    EXPECT_NE(end, std::string::npos);
    std::vector<std::string> blocks;
    if (begin == std::string::npos || end == std::string::npos) {
        return blocks;
    }
    std::istringstream lines(readme.substr(begin, end - begin));
    std::string block;
    bool inBlock = false;
    for (std::string line; std::getline(lines, line);) {
        const auto text = line.find_first_not_of(' ');
        const std::string trimmed = text == std::string::npos ? std::string() : line.substr(text);
        if (trimmed.rfind("```", 0) == 0) {
            if (inBlock) {
                blocks.push_back(block);
                block.clear();
            }
            inBlock = !inBlock;
            continue;
        }
        if (inBlock) {
            block += trimmed.ends_with('\\') ? trimmed.substr(0, trimmed.size() - 1) : trimmed + "\n";
        }
    }
    return blocks;
}

}  // namespace

TEST(ConvertCli, ReadmeExamplesRunAsWritten)
{
    // The README's examples run in order in a home folder of generated
    // photos, with the program built here first on the PATH; the block for
    // several machines runs its two workers locally.
    ScratchFolder home;
    for (const char* name :
         {"Phone/DCIM/100APPLE/IMG_0001.HEIC", "Phone/DCIM/100APPLE/IMG_0002.HEIC", "Phone/DCIM/101APPLE/IMG_0001.HEIC",
          "Phone/DCIM/101APPLE/DSC_0003.HIF", "Archive/2019/a.heic", "Archive/2019/b.heic", "Archive/2020/a.HEIF",
          "Archive/2020/c.hif", "Archive/2021/d e.heic"}) {
        writeFile(home / name, gridHeic());
    }
    writeFile(home / "Archive/notes.txt", {'n'});
    std::vector<std::string> blocks = readmeExampleBlocks();
    ASSERT_EQ(blocks.size(), 5u);
    const std::string remote = "--sshlogin 8/alba,8/bruna";
    const auto at = blocks[4].find(remote);
    ASSERT_NE(at, std::string::npos) << blocks[4];
    blocks[4].replace(at, remote.size(), "-j2");
    blocks.insert(blocks.begin() + 2, blocks[1]);  // the re-run after a sync

    const std::string programs = fs::path(AMBREL_CONVERT).parent_path().string();
    std::vector<std::string> outputs;
    for (const auto& block : blocks) {
        SCOPED_TRACE(block);
        const std::string command =
            "cd " + fixture::shellQuote(home.path()) + " && HOME=" + fixture::shellQuote(home.path()) +
            " PATH=" + fixture::shellQuote(programs) + ":\"$PATH\" sh -ec " + fixture::shellQuote(block);
        std::string output;
        EXPECT_EQ(fixture::runCommand(command, output), 0) << output;
        outputs.push_back(output);
    }
    EXPECT_EQ(folderNames(home / "Pictures/converted/100APPLE").size(), 2u);
    EXPECT_EQ(folderNames(home / "Pictures/converted/101APPLE").size(), 2u);
    EXPECT_EQ(folderNames(home / "Pictures/phone/101APPLE"),
              (std::vector<std::string>{"DSC_0003.jpg", "IMG_0001.jpg"}));
    EXPECT_NE(outputs[2].find("0 converted, 0 failed, 4 skipped"), std::string::npos) << outputs[2];
    const std::vector<std::string> small = folderNames(home / "Pictures/small");
    ASSERT_EQ(small.size(), 1u);
    EXPECT_EQ(imageSize(home / ("Pictures/small/" + small[0])), (ImageSize{192, 128}));
    EXPECT_EQ(imageSize(home / "photo.jpg"), (ImageSize{192, 128}));
    EXPECT_EQ(linesOf(readText(home / "camera.jsonl")).size(), 1u);
    // Every archive file converted once, reported once by whichever worker.
    const std::vector<std::string> report = linesOf(readText(home / "archive.jsonl"));
    EXPECT_EQ(report.size(), 5u);
    for (const auto& line : report) {
        EXPECT_NE(line.find("\"status\":\"converted\""), std::string::npos) << line;
    }
    EXPECT_EQ(folderNames(home / "Converted").size(), 5u);
    EXPECT_NE(outputs.back().find("\"files\": 5"), std::string::npos) << outputs.back();

    // The man page's first example, on the same phone folder.
    const std::string page = readText(std::string(AMBREL_SOURCE_DIR) + "/packaging/man/ambrel-convert.h2m");
    const auto example = page.find(".B ambrel-convert ");
    ASSERT_NE(example, std::string::npos);
    std::string command = page.substr(example + 3, page.find('\n', example) - example - 3);
    for (auto at = command.find("\\-"); at != std::string::npos; at = command.find("\\-")) {
        command.erase(at, 1);
    }
    std::string output;
    EXPECT_EQ(fixture::runCommand("cd " + fixture::shellQuote(home.path()) +
                                      " && export HOME=" + fixture::shellQuote(home.path()) +
                                      " PATH=" + fixture::shellQuote(programs) + ":\"$PATH\" && " + command,
                                  output),
              0)
        << command << "\n"
        << output;
    EXPECT_NE(output.find("4 converted, 0 failed"), std::string::npos) << output;
}

namespace {

// The lines of --json output as objects.
std::vector<Json::Value> jsonObjects(const CliRun& run)
{
    std::vector<Json::Value> objects;
    for (const auto& line : run.lines) {
        Json::Value value;
        std::string errors;
        std::istringstream in(line);
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << line;
        objects.push_back(value);
    }
    return objects;
}

// A phone-like photograph: 64 x 48 stored, turned a quarter to show 48 x 64,
// with a 32 x 24 depth map (10 bits when asked) and an HDR gain map.
fixture::Bytes phoneLikeHeic(fixture::PixelFormat depthFormat = fixture::PixelFormat::Gray, bool hdr = false)
{
    fixture::SingleImageOptions options;
    options.width = 64;
    options.height = 48;
    options.rotation = 90;
    fixture::SampleFile sample = fixture::makeSingleImageHeic(options);
    fixture::addAuxiliaryItem(sample.builder, 10, sample.primaryId, fixture::kAuxDepth, fixture::greyQuadrants(32, 24),
                              depthFormat);
    fixture::addAuxiliaryItem(sample.builder, 11, sample.primaryId, fixture::kAuxGainMap,
                              fixture::greyQuadrants(32, 24));
    if (hdr) {  // Apple's version tag makes it a gain map to keep
        fixture::addXmpItem(sample.builder, 12, 11,
                            "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description "
                            "HDRGainMap:HDRGainMapVersion=\"65536\"/></rdf:RDF></x:xmpmeta>");
    }
    return sample.bytes();
}

}  // namespace

TEST(ConvertCli, AuxWritesTheDepthMapAndGainMapTurnedLikeTheImage)
{
    ScratchFolder folder;
    writeFile(folder / "in/IMG_0001.heic", phoneLikeHeic());
    const std::string out = folder / "out";
    const CliRun run = runCli({"--aux", "--json", "--plain-names", "-o", out, folder / "in/IMG_0001.heic"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<Json::Value> objects = jsonObjects(run);
    ASSERT_EQ(objects.size(), 3u) << run.out;
    const std::vector<std::string> names = {"IMG_0001.jpg", "IMG_0001_depth.jpg", "IMG_0001_gainmap.jpg"};
    const std::vector<ImageSize> sizes = {{48, 64}, {24, 32}, {24, 32}};
    for (std::size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(objects[i]["status"].asString(), "converted");
        EXPECT_EQ(objects[i]["output"].asString(), out + "/" + names[i]);
        EXPECT_EQ(objects[i]["width"].asInt(), sizes[i].width);
        EXPECT_EQ(objects[i]["height"].asInt(), sizes[i].height);
        EXPECT_EQ(objects[i]["bytes"].asUInt64(), fs::file_size(out + "/" + names[i]));
        EXPECT_EQ(imageSize(out + "/" + names[i]), sizes[i]) << names[i];
    }

    // A second run never replaces them: the main output moves on to _2, and
    // the auxiliary images follow its name.
    const CliRun again = runCli({"--aux", "--plain-names", "-o", out, folder / "in/IMG_0001.heic"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(folderNames(out),
              (std::vector<std::string>{"IMG_0001.jpg", "IMG_0001_2.jpg", "IMG_0001_2_depth.jpg",
                                        "IMG_0001_2_gainmap.jpg", "IMG_0001_depth.jpg", "IMG_0001_gainmap.jpg"}));
}

// A JPEG keeps the HDR gain map unless --no-hdr; --json says which kind.
TEST(ConvertCli, JsonSaysWhetherTheJpegKeepsTheHdrGainMap)
{
    ScratchFolder folder;
    writeFile(folder / "in/hdr.heic", phoneLikeHeic(fixture::PixelFormat::Gray, true));
    for (const bool keep : {true, false}) {
        const CliRun run = runCli(
            {keep ? "--json" : "--no-hdr", "--json", "--overwrite", "-o", folder / "out", folder / "in/hdr.heic"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(jsonObjects(run).at(0)["hdr"], keep ? Json::Value("apple") : Json::Value()) << run.out;
    }
}

// Without -f a 10-bit depth map keeps its precision in a 16-bit PNG; with -f
// it takes the format asked for.
TEST(ConvertCli, AuxDeepDataGoesToPngUnlessTheFormatIsGiven)
{
    ScratchFolder folder;
    writeFile(folder / "in/deep.heic", phoneLikeHeic(fixture::PixelFormat::Gray_10bit));
    const CliRun run = runCli({"--aux", "--plain-names", "-o", folder / "a", folder / "in/deep.heic"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(folderNames(folder / "a"), (std::vector<std::string>{"deep.jpg", "deep_depth.png", "deep_gainmap.jpg"}));
    const CliRun tiff = runCli({"--aux", "-f", "TIFF", "--plain-names", "-o", folder / "b", folder / "in/deep.heic"});
    ASSERT_EQ(tiff.status, 0) << tiff.err;
    EXPECT_EQ(folderNames(folder / "b"), (std::vector<std::string>{"deep.tif", "deep_depth.tif", "deep_gainmap.tif"}));
}

// A "spatial photo" pair: two top-level images; the second is written as
// _2 after the primary.
TEST(ConvertCli, AllImagesWritesEveryTopLevelImageInItemOrder)
{
    ScratchFolder folder;
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addCodedItem(sample.builder, 2, fixture::encodeImage(fixture::solidImage(32, 16, fixture::Rgb{200, 0, 0})),
                          false);
    writeFile(folder / "in/pair.heic", sample.bytes());
    const CliRun run =
        runCli({"--all-images", "--plain-names", "-f", "PNG", "-o", folder / "out", folder / "in/pair.heic"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(folderNames(folder / "out"), (std::vector<std::string>{"pair.png", "pair_2.png"}));
    EXPECT_EQ(imageSize(folder / "out/pair.png"), (ImageSize{64, 64}));
    EXPECT_EQ(imageSize(folder / "out/pair_2.png"), (ImageSize{32, 16}));
    EXPECT_EQ(run.lines.size(), 3u) << run.out;  // two files and the summary
}

// Frames come out in presentation order, each its own colour; a file with
// only a sequence gives its frames alone.
TEST(ConvertCli, FramesWritesEveryFrameOfASequence)
{
    ScratchFolder folder;
    fixture::SequenceOptions options;
    options.frames = 3;
    options.intraOnly = false;
    writeFile(folder / "in/clip.heic", fixture::makeImageSequence(options));
    const CliRun run =
        runCli({"--frames", "--plain-names", "-f", "PNG", "-o", folder / "out", folder / "in/clip.heic"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("(wrote"), std::string::npos) << run.out;  // every frame: nothing to say
    EXPECT_EQ(folderNames(folder / "out"),
              (std::vector<std::string>{"clip_f0001.png", "clip_f0002.png", "clip_f0003.png"}));
    for (unsigned frame = 0; frame < 3; ++frame) {
        const cv::Mat image = cv::imread(folder / ("out/clip_f000" + std::to_string(frame + 1) + ".png"));
        ASSERT_FALSE(image.empty());
        const cv::Vec3b centre = image.at<cv::Vec3b>(32, 32);
        const fixture::Rgb expected = fixture::paletteColour(frame);
        EXPECT_NEAR(centre[2], expected.r, 20) << frame;
        EXPECT_NEAR(centre[1], expected.g, 20) << frame;
        EXPECT_NEAR(centre[0], expected.b, 20) << frame;
    }
    // ffmpeg's timescales (movie 1000, media 10240) and its edit list give every frame too.
    options.mediaTimescale = 10240;
    options.sampleDuration = 1024;
    options.editList = true;
    writeFile(folder / "ffmpeg/clip.heic", fixture::makeImageSequence(options));
    const CliRun ffmpeg = runCli({"--frames", "-f", "PNG", "-o", folder / "ffmpeg-out", folder / "ffmpeg/clip.heic"});
    EXPECT_EQ(folderNames(folder / "ffmpeg-out").size(), 3u) << ffmpeg.out << ffmpeg.err;
    // Without --frames the file gives its first frame as its picture.
    const CliRun single = runCli({"--plain-names", "-o", folder / "one", folder / "in/clip.heic"});
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(folderNames(folder / "one"), (std::vector<std::string>{"clip.jpg"}));
}
