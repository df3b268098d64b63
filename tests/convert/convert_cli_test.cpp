// ambrel-convert run as a process: usage errors, the report on standard
// output, exit statuses, naming options, folders and the corpus.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>

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

CliRun runCli(const std::vector<std::string>& arguments, const std::string& environment = {})
{
    fixture::TempFile errors(".err");
    std::string command = environment + " " + fixture::shellQuote(AMBREL_CONVERT);
    for (const auto& argument : arguments) {
        command += " " + fixture::shellQuote(argument);
    }
    command += " 2>" + fixture::shellQuote(errors.path());
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
    const std::pair<std::vector<std::string>, const char*> cases[] = {
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

    const CliRun help = runCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: ambrel-convert [options] INPUT...", 0), 0u);
    for (const char* option : {"--format", "--scale", "--quality", "--depth", "--no-exif", "--output", "--plain-names",
                               "--jobs", "--recursive", "--keep-dates", "--quiet"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

TEST(ConvertCli, FolderBesideSourcesWithTimestamps)
{
    ScratchFolder folder;
    const std::string in = folder / "in";
    writeFile(in + "/b.HEIC", gridHeic());
    writeFile(in + "/a.heic", gridHeic());
    writeFile(in + "/notes.txt", {'n'});
    writeFile(in + "/sub/c.heic", gridHeic());

    const CliRun run = runCli({in});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 3u) << run.out;
    const std::string prefix = in + "/a.heic -> " + in + "/a_";
    ASSERT_EQ(run.lines[0].rfind(prefix, 0), 0u) << run.lines[0];
    ASSERT_TRUE(run.lines[0].ends_with(".JPG")) << run.lines[0];
    const std::string stamp = run.lines[0].substr(prefix.size(), run.lines[0].size() - prefix.size() - 4);
    EXPECT_TRUE(isTimestamp(stamp)) << stamp;
    EXPECT_EQ(run.lines[1], in + "/b.HEIC -> " + in + "/b_" + stamp + ".JPG");
    EXPECT_EQ(run.lines[2], "2 converted, 0 failed");
    EXPECT_EQ(imageSize(in + "/b_" + stamp + ".JPG"), (ImageSize{192, 128}));
    EXPECT_EQ(folderNames(in + "/sub"), (std::vector<std::string>{"c.heic"}));  // not without -r
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
                               in + "/a.heic -> " + out + "/a.PNG",
                               in + "/sub/deeper/c.heic -> " + out + "/c.PNG",
                               missing + ": cannot open the file: No such file or directory",
                               "2 converted, 1 failed",
                           }));
    EXPECT_NE(first.err.find("找到重复：" + in + "/a.heic"), std::string::npos) << first.err;
    EXPECT_EQ(imageSize(out + "/a.PNG"), (ImageSize{96, 64}));

    // Again into the same folder: nothing is replaced.
    const CliRun second = runCli(arguments);
    EXPECT_EQ(second.lines[0], in + "/a.heic -> " + out + "/a_2.PNG");
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"a.PNG", "a_2.PNG", "c.PNG", "c_2.PNG"}));

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
    for (const std::string format : {"JPG", "PNG", "TIFF", "JPEG2000", "BMP"}) {
        const CliRun run =
            runCli({"--plain-names", "--depth", "16", "-f", format, "-o", folder / format, input}, tracing);
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_NE(run.err.find("libopencv_core"), std::string::npos) << "LD_DEBUG gave no trace";
        EXPECT_EQ(run.err.find("libopencv_imgcodecs"), std::string::npos) << format;
    }
    // --depth 16 reached the encoder: the PNG header's bit depth (byte 24).
    const std::string png = readText(folder / "PNG/IMG.PNG");
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
    EXPECT_NE(run.err.find("no HEIC file found"), std::string::npos);
}

TEST(ConvertCli, CorpusFolderReportsOnlyOneLinePerFile)
{
    // From the folder only *.heic names; the .heif file named on its own. A
    // file that fails is reported with the cause, in English.
    ScratchFolder folder;
    const CliRun run =
        runCli({"-o", folder.path(), "--plain-names", AMBREL_CORPUS_DIR, corpusPath("RGB_10__29x100.heif")});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> good = {"L_exif_xmp_iptc.heic", "L_xmp_latin1.heic", "empty_icc.heic",
                                           "invalid_id.heic",      "zPug_3.heic",       "RGB_10__29x100.heif"};
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"corrupted.heic", "cannot read the HEIF structure: No compatible brands in file (reader error 2)"},
        {"empty.heic", "the file is empty"},
        {"truncated.heic", "the file is cut short: its last box reaches past the end of the file"},
    };
    ASSERT_EQ(run.lines.size(), good.size() + broken.size() + 1) << run.out;
    for (const auto& name : good) {
        const std::string line = corpusPath(name) + " -> " + folder / (ambrel::convert::baseNameOf(name) + ".JPG");
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), line), run.lines.end()) << line;
    }
    for (const auto& [name, cause] : broken) {
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), corpusPath(name) + ": " + cause), run.lines.end())
            << name << "\n"
            << run.out;
    }
    EXPECT_EQ(run.lines.back(), "6 converted, 3 failed");
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
    const CliRun run = runCli({"-o", out, "--plain-names", "-j", "1", in});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> expected = {
        in + "/new\\nline.heic -> " + out + "/new\\nline.JPG",
        in + "/clear\\x1b[2J.heic -> " + out + "/clear\\x1b[2J.JPG",
        in + "/照片.heic -> " + out + "/照片.JPG",
        in + "/bell\\x07\\x7f\\x9b.heic: the file is empty",
    };
    ASSERT_EQ(run.lines.size(), expected.size() + 1) << run.out;
    for (const auto& line : expected) {
        EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), line), run.lines.end()) << line << "\n" << run.out;
    }
    EXPECT_EQ(run.lines.back(), "3 converted, 1 failed");
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(out + "/new\nline.JPG"));  // the files themselves keep their names
}
