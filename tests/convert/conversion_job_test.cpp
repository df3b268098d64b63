// The conversion job without any window: a recording listener receives what
// the application would post to its UI thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "convert/library_logs.h"
#include "heiclib/log.h"
#include "tests/convert/convert_test_support.h"

using namespace ambrel::heif;
using namespace ambrel::convert;

using namespace converttest;
using ambrel::convert::JobOptions;
using ambrel::convert::OutputFormat;

namespace {

std::vector<std::string> expectedConverted(const std::vector<std::string>& outputs)
{
    std::vector<std::string> events;
    for (std::size_t row = 0; row < outputs.size(); ++row) {
        events.push_back("converted " + std::to_string(row) + " " + outputs[row]);
        events.push_back("preview " + std::to_string(row));
    }
    events.push_back("finished " + std::to_string(outputs.size()));
    return events;
}

// A process id that ran and has ended: a child that exits at once, reaped.
pid_t deadProcessId()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

}  // namespace

TEST(ConversionJob, SavesBesideEachSourceUnderTheJobTimestamp)
{
    ScratchFolder folder;
    const std::string first = folder / "one/IMG_0042.HEIC";
    const std::string second = folder / "two/archive.2019.heic";
    writeFile(first, gridHeic());
    writeFile(second, gridHeic());

    const std::string before = ambrel::convert::getNowTimeTimestamp();
    RecordingListener listener;
    const auto summary = runJob(JobOptions{}, {first, second}, listener);
    const std::string after = ambrel::convert::getNowTimeTimestamp();

    ASSERT_TRUE(isTimestamp(summary.timestamp)) << summary.timestamp;
    EXPECT_GE(std::stoll(summary.timestamp), std::stoll(before));
    EXPECT_LE(std::stoll(summary.timestamp), std::stoll(after));
    const std::string out1 = folder / ("one/IMG_0042_" + summary.timestamp + ".JPG");
    const std::string out2 = folder / ("two/archive_" + summary.timestamp + ".JPG");
    EXPECT_EQ(listener.events, expectedConverted({out1, out2}));
    EXPECT_EQ(summary.converted, 2);
    EXPECT_EQ(summary.failed, 0);
    EXPECT_FALSE(summary.stopped);
    EXPECT_EQ(imageSize(out1), (ImageSize{192, 128}));
    EXPECT_EQ(imageSize(out2), (ImageSize{192, 128}));
    // Nothing else left in the folders: no temporary files.
    EXPECT_EQ(folderNames(folder / "one"), (std::vector<std::string>{"IMG_0042.HEIC", fs::path(out1).filename()}));
}

TEST(ConversionJob, EveryFormatDecodesBackToTheSameSize)
{
    // A grid stored unrotated with a 90 degree rotation and a matching EXIF
    // orientation, as phones write it: shown 128 wide and 192 high.
    fixture::GridOptions grid;
    grid.rows = 2;
    grid.columns = 3;
    grid.rotation = 270;
    grid.exifOrientation = 6;
    ScratchFolder folder;
    const std::string source = folder / "portrait.heic";
    writeFile(source, fixture::makeGridHeic(grid).bytes());

    const std::pair<OutputFormat, const char*> formats[] = {
        {OutputFormat::Jpg, "JPG"},      {OutputFormat::Png, "PNG"},   {OutputFormat::Bmp, "BMP"},
        {OutputFormat::Jpeg2000, "JP2"}, {OutputFormat::Tiff, "TIFF"}, {OutputFormat::Webp, "WEBP"}};
    for (const bool keepExif : {true, false}) {
        for (const auto& [format, extension] : formats) {
            SCOPED_TRACE(ambrel::convert::formatWord(format) + (keepExif ? " with EXIF" : " without EXIF"));
            JobOptions options;
            options.format = format;
            options.keepExif = keepExif;
            options.plainNames = true;
            options.outputFolder = folder / (keepExif ? "exif" : "plain");
            RecordingListener listener;
            runJob(options, {source}, listener);
            const std::string output = *options.outputFolder + "/portrait." + extension;
            ASSERT_EQ(listener.events, expectedConverted({output}));
            EXPECT_EQ(imageSize(output), (ImageSize{128, 192}));
        }
    }

    // Scaled to half, and to a tenth.
    JobOptions half;
    half.scale = 0.5f;
    half.format = OutputFormat::Png;
    half.outputFolder = folder / "half";
    RecordingListener halfListener;
    const auto halfSummary = runJob(half, {source}, halfListener);
    EXPECT_EQ(imageSize(folder / ("half/portrait_" + halfSummary.timestamp + ".PNG")), (ImageSize{64, 96}));

    JobOptions tiny;
    tiny.scale = 0.1f;
    tiny.format = OutputFormat::Jpeg2000;
    tiny.outputFolder = folder / "tiny";
    RecordingListener tinyListener;
    const auto tinySummary = runJob(tiny, {source}, tinyListener);
    // Pictures under 32 pixels a side encode with fewer resolution levels.
    const std::string tinyOutput = folder / ("tiny/portrait_" + tinySummary.timestamp + ".JP2");
    EXPECT_EQ(tinyListener.events, expectedConverted({tinyOutput}));
    EXPECT_EQ(imageSize(tinyOutput), (ImageSize{13, 19}));
}

TEST(ConversionJob, SameNamesNeverReplaceEachOther)
{
    ScratchFolder folder;
    const std::string a = folder / "a/IMG.heic";
    const std::string b = folder / "b/IMG.heic";
    const std::string c = folder / "a/IMG.copy.HEIC";  // same base name, same folder as a
    for (const auto& path : {a, b, c}) {
        writeFile(path, gridHeic());
    }

    // Three sources of one base name into one folder, in one job.
    JobOptions options;
    options.outputFolder = folder / "out";
    RecordingListener listener;
    const auto summary = runJob(options, {a, b, c}, listener);
    const std::string stem = folder / ("out/IMG_" + summary.timestamp);
    EXPECT_EQ(listener.events, expectedConverted({stem + ".JPG", stem + "_2.JPG", stem + "_3.JPG"}));

    // Beside the sources: a and c share their folder.
    RecordingListener beside;
    const auto besideSummary = runJob(JobOptions{}, {a, c}, beside);
    const std::string besideStem = folder / ("a/IMG_" + besideSummary.timestamp);
    EXPECT_EQ(beside.events, expectedConverted({besideStem + ".JPG", besideStem + "_2.JPG"}));

    // Plain names: an existing file keeps its bytes, and a second job goes on counting.
    writeFile(folder / "plain/IMG.JPG", {'m', 'i', 'n', 'e'});
    options.outputFolder = folder / "plain";
    options.plainNames = true;
    RecordingListener plain1;
    runJob(options, {a}, plain1);
    RecordingListener plain2;
    runJob(options, {b, c}, plain2);
    EXPECT_EQ(plain1.events, expectedConverted({folder / "plain/IMG_2.JPG"}));
    EXPECT_EQ(plain2.events, expectedConverted({folder / "plain/IMG_3.JPG", folder / "plain/IMG_4.JPG"}));
    EXPECT_EQ(readText(folder / "plain/IMG.JPG"), "mine");
    EXPECT_EQ(folderNames(folder / "plain"),
              (std::vector<std::string>{"IMG.JPG", "IMG_2.JPG", "IMG_3.JPG", "IMG_4.JPG"}));
}

TEST(ConversionJob, ParallelWorkersReportEveryRowAndShareNoName)
{
    ScratchFolder folder;
    std::vector<std::string> sources;
    for (int i = 0; i < 7; ++i) {
        sources.push_back(folder / ("in" + std::to_string(i) + "/IMG.heic"));
        writeFile(sources.back(), gridHeic());
    }
    sources.push_back(folder / "missing.heic");

    JobOptions options;
    options.workers = 3;
    options.plainNames = true;
    options.outputFolder = folder / "out";
    RecordingListener listener;
    const auto summary = runJob(options, sources, listener);
    EXPECT_EQ(summary.converted, 7);
    EXPECT_EQ(summary.failed, 1);

    std::set<std::size_t> convertedRows;
    std::set<std::string> outputs;
    for (std::size_t i = 0; i < listener.events.size(); ++i) {
        const std::string& event = listener.events[i];
        if (event.rfind("converted ", 0) == 0) {
            const auto space = event.find(' ', 10);
            const std::size_t row = std::stoul(event.substr(10, space - 10));
            convertedRows.insert(row);
            outputs.insert(event.substr(space + 1));
            // Every row is said to be started before its outcome.
            ASSERT_EQ(listener.startedAfter.count(row), 1u) << row;
            EXPECT_LE(listener.startedAfter[row], i) << row;
        }
    }
    EXPECT_EQ(listener.startedAfter.size(), 8u);
    EXPECT_EQ(convertedRows, (std::set<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(outputs.size(), 7u);
    EXPECT_EQ(folderNames(folder / "out"), (std::vector<std::string>{"IMG.JPG", "IMG_2.JPG", "IMG_3.JPG", "IMG_4.JPG",
                                                                     "IMG_5.JPG", "IMG_6.JPG", "IMG_7.JPG"}));
    EXPECT_NE(std::find(listener.events.begin(), listener.events.end(), "failed 7 路径下找不到文件"),
              listener.events.end());
    EXPECT_EQ(listener.events.back(), "finished 7");
}

TEST(ConversionJob, PlannedNamesFollowTheListOrderWhateverTheWorkers)
{
    ScratchFolder folder;
    std::vector<std::string> sources;
    for (int i = 0; i < 6; ++i) {
        sources.push_back(folder / ("in" + std::to_string(i) + "/IMG.heic"));
        writeFile(sources.back(), gridHeic());
    }
    for (const unsigned workers : {1U, 4U}) {
        SCOPED_TRACE(workers);
        const std::string out = folder / ("out" + std::to_string(workers));
        writeFile(out + "/IMG_2.JPG", {'x'});  // taken before the job: passed over
        JobOptions options;
        options.workers = workers;
        options.plainNames = true;
        options.planNames = true;
        options.outputFolder = out;
        RecordingListener listener;
        runJob(options, sources, listener);
        std::vector<std::string> byRow(sources.size());
        for (const auto& event : listener.events) {
            if (event.rfind("converted ", 0) == 0) {
                const auto space = event.find(' ', 10);
                byRow.at(std::stoul(event.substr(10, space - 10))) = event.substr(space + 1);
            }
        }
        EXPECT_EQ(byRow, (std::vector<std::string>{out + "/IMG.JPG", out + "/IMG_3.JPG", out + "/IMG_4.JPG",
                                                   out + "/IMG_5.JPG", out + "/IMG_6.JPG", out + "/IMG_7.JPG"}));
        EXPECT_EQ(readText(out + "/IMG_2.JPG"), "x");
    }
}

TEST(ConversionJob, ExistingOutputsAreSkippedOrReplaced)
{
    ScratchFolder folder;
    const std::string a = folder / "in/a.heic";
    const std::string b = folder / "in/b.heic";
    const std::string again = folder / "other/a.heic";  // the same output name as a within the job
    for (const auto& path : {a, b, again}) {
        writeFile(path, gridHeic());
    }
    const std::string out = folder / "out";
    writeFile(out + "/a.JPG", {'o', 'l', 'd'});

    JobOptions options;
    options.plainNames = true;
    options.outputFolder = out;
    options.workers = 2;
    options.existing = ambrel::convert::ExistingOutput::Skip;
    RecordingListener skipping;
    const auto skipped = runJob(options, {a, b, again}, skipping);
    EXPECT_EQ(skipped.skipped, 2);
    EXPECT_EQ(skipped.converted, 1);
    EXPECT_EQ(readText(out + "/a.JPG"), "old");
    std::sort(skipping.events.begin(), skipping.events.end());
    EXPECT_EQ(skipping.events,
              (std::vector<std::string>{"converted 1 " + out + "/b.JPG", "finished 1", "preview 1",
                                        "skipped 0 " + out + "/a.JPG", "skipped 2 " + out + "/a.JPG"}));

    // Overwrite: the name's file is replaced; the job's own second "a" still
    // gets a name of its own.
    options.existing = ambrel::convert::ExistingOutput::Overwrite;
    RecordingListener replacing;
    const auto replaced = runJob(options, {a, b, again}, replacing);
    EXPECT_EQ(replaced.converted, 3);
    EXPECT_EQ(imageSize(out + "/a.JPG"), (ImageSize{192, 128}));
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"a.JPG", "a_2.JPG", "b.JPG"}));

    // A source is never overwritten, whatever its name says (a HEIC file
    // named .JPG, as some apps export them): that output takes a free name.
    const std::string c = folder / "in/c.heic";
    const std::string heicAsJpeg = folder / "in/c.JPG";
    writeFile(c, gridHeic());
    writeFile(heicAsJpeg, gridHeic());
    options.outputFolder.reset();
    options.workers = 1;
    RecordingListener sources;
    EXPECT_EQ(runJob(options, {c, heicAsJpeg}, sources).converted, 2);
    EXPECT_EQ(readText(heicAsJpeg), readText(c));
    EXPECT_EQ(sources.facts[0].note, heicAsJpeg + " is a source of this run, so the output takes another name");
    EXPECT_EQ(folderNames(folder / "in"),
              (std::vector<std::string>{"a.heic", "b.heic", "c.JPG", "c.heic", "c_2.JPG", "c_3.JPG"}));
    // A name that differs from a source's only in letter case is taken for
    // it (exFAT and FAT see one file, and through FUSE give each spelling an
    // inode number of its own).
    options.lowerCaseExtensions = true;
    RecordingListener lowerCase;
    runJob(options, {heicAsJpeg}, lowerCase);
    EXPECT_EQ(lowerCase.events.at(0), "converted 0 " + folder / "in/c_2.jpg");
}

// The auxiliary images' files follow the row's rule for taken names: a
// skipped source writes none, an existing one is left with Skip and replaced
// with Overwrite; they are reported after the row's facts, before the row.
TEST(ConversionJob, AuxiliaryOutputsFollowTheRuleForExistingFiles)
{
    ScratchFolder folder;
    const std::string source = folder / "in/p.heic";
    fixture::SampleFile sample = fixture::makeSingleImageHeic();
    fixture::addAuxiliaryItem(sample.builder, 10, sample.primaryId, fixture::kAuxDepth, fixture::greyQuadrants(32, 32));
    fixture::addAuxiliaryItem(sample.builder, 11, sample.primaryId, "urn:example:matte",
                              fixture::greyQuadrants(32, 32));
    writeFile(source, sample.bytes());
    const std::string out = folder / "out";

    JobOptions options;
    options.plainNames = true;
    options.outputFolder = out;
    options.auxiliary = true;
    RecordingListener first;
    EXPECT_EQ(runJob(options, {source}, first).converted, 1);
    EXPECT_EQ(first.events,
              (std::vector<std::string>{"extra 0 " + out + "/p_depth.JPG", "extra 0 " + out + "/p_aux1.JPG",
                                        "converted 0 " + out + "/p.JPG", "preview 0", "finished 1"}));

    options.existing = ambrel::convert::ExistingOutput::Skip;
    RecordingListener skipping;
    EXPECT_EQ(runJob(options, {source}, skipping).skipped, 1);
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"p.JPG", "p_aux1.JPG", "p_depth.JPG"}));

    fs::remove(out + "/p.JPG");
    writeFile(out + "/p_depth.JPG", {'o', 'l', 'd'});
    RecordingListener partly;
    EXPECT_EQ(runJob(options, {source}, partly).converted, 1);
    EXPECT_EQ(readText(out + "/p_depth.JPG"), "old");
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"p.JPG", "p_aux1.JPG", "p_depth.JPG"}));

    options.existing = ambrel::convert::ExistingOutput::Overwrite;
    RecordingListener replacing;
    EXPECT_EQ(runJob(options, {source}, replacing).converted, 1);
    EXPECT_EQ(imageSize(out + "/p_depth.JPG"), (ImageSize{32, 32}));
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"p.JPG", "p_aux1.JPG", "p_depth.JPG"}));
}

TEST(ConversionJob, SubfoldersAreMirroredUnderTheOutputFolder)
{
    ScratchFolder folder;
    const std::string first = folder / "DCIM/100APPLE/IMG_0001.HEIC";
    const std::string second = folder / "DCIM/101APPLE/IMG_0001.HEIC";
    writeFile(first, gridHeic());
    writeFile(second, gridHeic());
    ambrel::convert::JobDescription job;
    job.options.plainNames = true;
    job.options.outputFolder = folder / "out/";
    job.records = {ambrel::convert::makeRecord(first), ambrel::convert::makeRecord(second)};
    job.records[0].outputSubfolder = "100APPLE";
    job.records[1].outputSubfolder = "101APPLE";
    RecordingListener listener;
    std::atomic<bool> stop{false};
    ambrel::convert::runConversionJob(job, listener, stop);
    EXPECT_EQ(listener.events,
              expectedConverted({folder / "out/100APPLE/IMG_0001.JPG", folder / "out/101APPLE/IMG_0001.JPG"}));
}

TEST(ConversionJob, MaxSideBoundsTheLongerSideAndNeverEnlarges)
{
    ScratchFolder folder;
    const std::string source = folder / "grid.heic";  // 192 x 128
    writeFile(source, gridHeic());
    struct Case
    {
        std::uint32_t maxSide;
        float scale;
        OutputFormat format;
        ImageSize size;
    };
    const Case cases[] = {
        {96, 1.0f, OutputFormat::Jpg, {96, 64}},   {100, 1.0f, OutputFormat::Jpg, {100, 67}},
        {100, 1.0f, OutputFormat::Png, {100, 67}}, {1000, 1.0f, OutputFormat::Jpg, {192, 128}},
        {150, 0.5f, OutputFormat::Jpg, {96, 64}},  {192, 1.0f, OutputFormat::Jpg, {192, 128}},
        {0, 1.0f, OutputFormat::Jpg, {192, 128}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.maxSide) + " " + std::to_string(c.scale));
        JobOptions options;
        options.maxSide = c.maxSide;
        options.scale = c.scale;
        options.format = c.format;
        options.outputFolder = folder / ("out" + std::to_string(c.maxSide));
        RecordingListener listener;
        const auto summary = runJob(options, {source}, listener);
        ASSERT_EQ(summary.converted, 1) << listener.events.front();
        const std::string output = listener.events.front().substr(std::string("converted 0 ").size());
        EXPECT_EQ(imageSize(output), c.size);
        // What the row reports is the file written.
        EXPECT_EQ(listener.facts.at(0).width, static_cast<std::uint32_t>(c.size.width));
        EXPECT_EQ(listener.facts.at(0).height, static_cast<std::uint32_t>(c.size.height));
        EXPECT_EQ(listener.facts.at(0).bytes, fs::file_size(output));
    }
}

TEST(ConversionJob, ConvertsWithoutAWritableCacheFolder)
{
    // A service user, a container or a full disk: the cache folder cannot be
    // written. Conversions need no file there, and leave none.
    ScratchFolder folder;
    const std::string source = folder / "in/IMG.heic";
    writeFile(source, gridHeic());
    writeFile(folder / "file", {'x'});
    fs::create_directories(folder / "cache");
    const char* const names[] = {"XDG_CACHE_HOME", "HOME", "TMPDIR"};
    std::vector<std::optional<std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }

    for (const std::string& cache : {folder / "file/cache", folder / "cache"}) {
        SCOPED_TRACE(cache);
        for (const char* name : names) {
            ::setenv(name, cache.c_str(), 1);
        }
        JobOptions options;
        options.outputFolder = folder / "out";
        options.plainNames = true;
        RecordingListener listener;
        runJob(options, {source}, listener);
        for (std::size_t i = 0; i < std::size(names); ++i) {
            if (saved[i]) {
                ::setenv(names[i], saved[i]->c_str(), 1);
            } else {
                ::unsetenv(names[i]);
            }
        }
        EXPECT_EQ(listener.events.front().rfind("converted 0 ", 0), 0u) << listener.events.front();
        EXPECT_EQ(readText(folder / "file"), "x");
        EXPECT_TRUE(folderNames(folder / "cache").empty());
        fs::remove_all(folder / "out");
    }
}

TEST(ConversionJob, OutputFolderCreationAndItsFailures)
{
    ScratchFolder folder;
    const std::string source = folder / "IMG.heic";
    writeFile(source, gridHeic());
    writeFile(folder / "file", {'x'});

    JobOptions options;
    options.plainNames = true;
    options.outputFolder = folder / "a/b/c";
    RecordingListener created;
    runJob(options, {source}, created);
    EXPECT_EQ(created.events, expectedConverted({folder / "a/b/c/IMG.JPG"}));

    options.outputFolder = folder / "file";  // exists, but is no folder
    RecordingListener onFile;
    runJob(options, {source}, onFile);
    EXPECT_EQ(onFile.events, (std::vector<std::string>{"failed 0 保存文件失败", "finished 0"}));
    EXPECT_EQ(onFile.details[0], "cannot write " + folder / "file/IMG.JPG" + ": Not a directory");
    EXPECT_EQ(readText(folder / "file"), "x");

    options.outputFolder = folder / "file/sub";  // cannot be created
    RecordingListener underFile;
    runJob(options, {source}, underFile);
    EXPECT_EQ(underFile.events, (std::vector<std::string>{"failed 0 文件不存在，保存失败！", "finished 0"}));
    EXPECT_EQ(underFile.details[0], "cannot create the folder " + folder / "file/sub" + ": Not a directory");
}

TEST(ConversionJob, StaleTemporariesOfEndedWritersAreRemovedFromTheFoldersWritten)
{
    // A writer killed in the middle of a batch leaves its temporary file; a
    // later job removes those whose writer is provably gone (this host's, of
    // an earlier boot or not locked), and nothing else: not another host's
    // (a shared folder), nor one whose writer still holds its lock (in
    // whatever process namespace).
    ScratchFolder folder;
    const std::string source = folder / "IMG.heic";
    writeFile(source, gridHeic());
    const TemporaryName self = thisTemporaryWriter();
    const pid_t dead = deadProcessId();
    const auto temporary = [&](long pid, const std::string& boot, const std::string& host) {
        return ".ambrel-" + std::to_string(pid) + "-7-" + boot + "-" + host + ".tmp";
    };
    const std::string otherBoot(32, self.bootId[0] == 'a' ? 'b' : 'a');
    const std::string out = folder / "out";
    const std::vector<std::string> stale{temporary(dead, self.bootId, self.host),
                                         temporary(::getpid(), otherBoot, self.host)};
    const std::string locked = temporary(::getpid(), self.bootId, self.host);
    const std::vector<std::string> kept{
        locked,
        temporary(dead, self.bootId, "other-host"),
        ".ambrel-" + std::to_string(dead) + "-7.tmp",  // an older writer's: nothing tells
        stale[0] + ".part",
        "notes.tmp",
    };
    writeFile(folder / ("elsewhere/" + stale[0]), {'p'});  // a folder the job does not write into
    for (const auto& name : stale) {
        writeFile(out + "/" + name, {'p'});
    }
    for (const auto& name : kept) {
        writeFile(out + "/" + name, {'k'});
    }
    fs::create_directories(out + "/" + temporary(dead, self.bootId, "dir"));  // not a file
    const int lockFd = ::open((out + "/" + locked).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);

    JobOptions options;
    options.plainNames = true;
    options.outputFolder = out;
    RecordingListener listener;
    runJob(options, {source}, listener);
    ::close(lockFd);

    EXPECT_EQ(listener.events, expectedConverted({out + "/IMG.JPG"}));
    std::vector<std::string> expected = kept;
    expected.push_back("IMG.JPG");
    expected.push_back(temporary(dead, self.bootId, "dir"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folderNames(out), expected);
    EXPECT_TRUE(fs::exists(folder / ("elsewhere/" + stale[0])));
    EXPECT_EQ(parseTemporaryName(temporary(42, self.bootId, "a-b.c"))->host, "a-b.c");
}

TEST(ConversionJob, SourcesThatCannotBeConvertedFailTheirRowOnly)
{
    ScratchFolder folder;
    const std::string empty = folder / "empty.heic";
    const std::string missing = folder / "missing.heic";
    const std::string directory = folder / "dir.heic";
    const std::string fifo = folder / "pipe.heic";
    const std::string text = folder / "text.heic";
    const std::string huge = folder / "huge.heic";
    const std::string good = folder / "good.heic";
    writeFile(empty, {});
    fs::create_directory(directory);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string words = "not a HEIF file at all";
    writeFile(text, fixture::Bytes(words.begin(), words.end()));
    {
        // One byte over the limit, sparse: the job must not read it.
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(ambrel::convert::kMaxSourceBytes) + 1), 0);
        ::close(fd);
    }
    writeFile(good, gridHeic());

    JobOptions options;
    options.plainNames = true;
    RecordingListener listener;
    const auto summary = runJob(options, {empty, missing, directory, fifo, text, huge, good}, listener);
    EXPECT_EQ(listener.events, (std::vector<std::string>{
                                   "failed 0 文件转换失败",
                                   "failed 1 路径下找不到文件",
                                   "failed 2 路径下找不到文件",
                                   "failed 3 路径下找不到文件",
                                   "failed 4 文件转换失败",
                                   "failed 5 文件转换失败",
                                   "converted 6 " + folder / "good.JPG",
                                   "preview 6",
                                   "finished 1",
                               }));
    EXPECT_EQ(summary.failed, 6);
    // Every failed row says why.
    EXPECT_EQ(listener.details, (std::map<std::size_t, std::string>{
                                    {0, "the file is empty"},
                                    {1, "cannot open the file: No such file or directory"},
                                    {2, "a folder, not a file"},
                                    {3, "not a regular file"},
                                    {4, "not a HEIF file"},
                                    {5, "the file is 214748365 bytes, more than the limit of 214748364"},
                                }));
    // The log names the source and why, never the source's bytes.
    ASSERT_EQ(listener.logLines.size(), 3u);
    EXPECT_EQ(listener.logLines[0].rfind("input_Buffer: " + empty, 0), 0u);
    EXPECT_EQ(listener.logLines[1], "input_Buffer: " + text + " HUD_ERR heif2jpg read_heif: not a HEIF file");
    EXPECT_EQ(listener.logLines[2], "input_Buffer: " + huge + " is 214748365 bytes, more than 214748364");
    for (const auto& line : listener.logLines) {
        EXPECT_EQ(line.find(words), std::string::npos);
    }
}

TEST(ConversionJob, StopFlagIsReadBeforeEveryRow)
{
    ScratchFolder folder;
    std::vector<std::string> sources;
    for (const char* name : {"a.heic", "b.heic", "c.heic"}) {
        sources.push_back(folder / name);
        writeFile(sources.back(), gridHeic());
    }
    const auto run = [&](std::atomic<bool>& stop, RecordingListener& listener, const std::string& out) {
        ambrel::convert::JobDescription job;
        job.options.plainNames = true;
        job.options.outputFolder = folder / out;
        for (const auto& source : sources) {
            job.records.push_back(ambrel::convert::makeRecord(source));
        }
        return ambrel::convert::runConversionJob(job, listener, stop);
    };

    // Stop requested while the first row is converted: that row is written, no other.
    std::atomic<bool> stop{false};
    RecordingListener afterFirst;
    afterFirst.onEvent = [&](const std::string& event) {
        if (event.rfind("converted 0", 0) == 0) {
            stop = true;
        }
    };
    const auto summary = run(stop, afterFirst, "first");
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(afterFirst.events,
              (std::vector<std::string>{"converted 0 " + folder / "first/a.JPG", "preview 0", "stopped"}));
    EXPECT_EQ(folderNames(folder / "first"), (std::vector<std::string>{"a.JPG"}));

    // Stop requested before the job: nothing at all is converted.
    RecordingListener before;
    run(stop, before, "before");
    EXPECT_EQ(before.events, (std::vector<std::string>{"stopped"}));
    EXPECT_FALSE(fs::exists(folder / "before"));

    // Stop requested during the last row: there is no further row to stop before.
    stop = false;
    RecordingListener last;
    last.onEvent = [&](const std::string& event) {
        if (event.rfind("converted 2", 0) == 0) {
            stop = true;
        }
    };
    run(stop, last, "last");
    EXPECT_EQ(last.events.back(), "finished 3");
}

TEST(ConversionJob, KeepDatesGivesOutputsTheSourceTime)
{
    ScratchFolder folder;
    const std::string source = folder / "old.heic";
    writeFile(source, gridHeic());
    const struct timespec times[2] = {{1'000'000'000, 250'000'000}, {1'000'000'000, 250'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

    const auto modified = [](const std::string& path) {
        struct stat info
        {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        return info.st_mtim;
    };
    for (const auto format : {OutputFormat::Jpg, OutputFormat::Tiff}) {
        JobOptions options;
        options.format = format;
        options.keepDates = true;
        options.plainNames = true;
        RecordingListener listener;
        runJob(options, {source}, listener);
        const auto time = modified(folder / ("old." + ambrel::convert::formatExtension(format)));
        EXPECT_EQ(time.tv_sec, 1'000'000'000);
        EXPECT_EQ(time.tv_nsec, 250'000'000);
    }
    JobOptions fresh;
    fresh.plainNames = true;
    RecordingListener listener;
    runJob(fresh, {source}, listener);
    EXPECT_GT(modified(folder / "old_2.JPG").tv_sec, 1'000'000'000);
}

TEST(ConversionJob, OutputsMuchLargerThanTheirSourceAreWritten)
{
    // A smooth picture that HEVC codes in very few bytes and JPEG at full
    // quality in many more than ten times as many.
    fixture::SingleImageOptions single;
    single.width = 512;
    single.height = 512;
    single.picture = fixture::gradientImage(512, 512);
    single.encode.crf = 45;
    ScratchFolder folder;
    const std::string source = folder / "smooth.heic";
    writeFile(source, fixture::makeSingleImageHeic(single).bytes());

    JobOptions options;
    options.plainNames = true;
    RecordingListener listener;
    runJob(options, {source}, listener);
    ASSERT_EQ(listener.events, expectedConverted({folder / "smooth.JPG"}));
    EXPECT_GT(fs::file_size(folder / "smooth.JPG"), 10 * fs::file_size(source));
    EXPECT_EQ(imageSize(folder / "smooth.JPG"), (ImageSize{512, 512}));
}

TEST(ConversionJob, CorpusFilesConvertOrFailCleanly)
{
    const std::pair<const char*, ImageSize> good[] = {
        {"RGB_10__29x100.heif", {29, 100}}, {"L_xmp_latin1.heic", {16, 16}},     {"empty_icc.heic", {1025, 900}},
        {"invalid_id.heic", {1197, 1227}},  {"RGB_8_chroma444.heif", {29, 100}}, {"RGBA_8__128x128.heif", {128, 128}},
        {"zPug_3.heic", {64, 64}},          {"L_exif_xmp_iptc.heic", {64, 64}},
    };
    const char* const broken[] = {"truncated.heic", "corrupted.heic", "corrupted.hif", "empty.heic"};

    ScratchFolder folder;
    std::vector<std::string> sources;
    for (const auto& [name, size] : good) {
        sources.push_back(corpusPath(name));
    }
    for (const char* name : broken) {
        sources.push_back(corpusPath(name));
    }
    JobOptions options;
    options.plainNames = true;
    options.workers = 2;
    options.outputFolder = folder.path();
    RecordingListener listener;
    const auto summary = runJob(options, sources, listener);
    EXPECT_EQ(summary.converted, 8);

    std::size_t row = 0;
    for (const auto& [name, size] : good) {
        SCOPED_TRACE(name);
        const std::string output = folder / (ambrel::convert::baseNameOf(name) + ".JPG");
        const std::string converted = "converted " + std::to_string(row++) + " " + output;
        EXPECT_NE(std::find(listener.events.begin(), listener.events.end(), converted), listener.events.end());
        EXPECT_EQ(imageSize(output), size);
    }
    for (const char* name : broken) {
        const std::string failed = "failed " + std::to_string(row++) + " 文件转换失败";
        EXPECT_NE(std::find(listener.events.begin(), listener.events.end(), failed), listener.events.end()) << name;
    }
    EXPECT_EQ(listener.events.back(), "finished 8");
}

TEST(ConversionJob, QuietLibraryLogsKeepTheDiagnosticLinesOffStandardOutputForTheBatch)
{
    // A grid with a tile whose data cannot be found: the extraction writes a
    // diagnostic line.
    ScratchFolder folder;
    fixture::SampleFile file = fixture::makeGridHeic();
    file.builder.item(file.tileIds[2]).omitLocation = true;
    const std::string source = folder / "broken.heic";
    writeFile(source, file.bytes());
    const int levelBefore = ambrel::log::level();
    {
        const ambrel::convert::QuietLibraryLogs quiet;
        ::testing::internal::CaptureStdout();
        RecordingListener listener;
        EXPECT_EQ(runJob(JobOptions{}, {source}, listener).failed, 1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    {
        // The lines can be had, for a log of the front end's own.
        std::vector<std::string> lines;
        const ambrel::convert::QuietLibraryLogs quiet([&](const std::string& line) { lines.push_back(line); });
        ::testing::internal::CaptureStdout();
        RecordingListener listener;
        EXPECT_EQ(runJob(JobOptions{}, {source}, listener).failed, 1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_NE(std::find(lines.begin(), lines.end(), "get_heif_tiles returned false "), lines.end());
    }
    EXPECT_EQ(ambrel::log::level(), levelBefore);
    // Outside the batch the line is written again.
    ::testing::internal::CaptureStdout();
    RecordingListener listener;
    EXPECT_EQ(runJob(JobOptions{}, {source}, listener).failed, 1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("get_heif_tiles returned false \n"), std::string::npos);
}
