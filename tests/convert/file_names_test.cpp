// Records, names and texts of the file list and the output files, without a
// conversion: qualifying names, base names and folders, size texts, the job
// timestamp, output names, folder creation and never-replacing writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>
#include <tuple>

#include <opencv2/imgcodecs.hpp>

#include "convert/file_list.h"
#include "convert/output_files.h"
#include "tests/convert/convert_test_support.h"

using namespace ambrel::heif;
using namespace ambrel::convert;

using namespace converttest;

namespace {

// What the disk had been asked to hold at each fsync of a recorded write:
// the path flushed, its size, and the names in the folder written into.
struct FlushRecord
{
    std::string path;
    bool folder = false;
    long long size = -1;
    std::vector<std::string> folderNames;
};
std::string recordedFolder;  // empty: fsync records nothing
std::vector<FlushRecord> flushes;

}  // namespace

// Every fsync of the process comes here (the test program's definition comes
// before the C library's), and goes on to the system call.
extern "C" int fsync(int fd)
{
    if (!recordedFolder.empty()) {
        FlushRecord record;
        std::error_code error;
        record.path = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
        struct stat info
        {};
        if (::fstat(fd, &info) == 0) {
            record.folder = S_ISDIR(info.st_mode);
            record.size = static_cast<long long>(info.st_size);
        }
        record.folderNames = folderNames(recordedFolder);
        flushes.push_back(std::move(record));
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

// Failures of the calls that name a file, as a FUSE exFAT or FAT mount gives
// them (exfat-fuse, fusefat): no hard links (EPERM) and no RENAME_NOREPLACE
// (EINVAL). 0: the real call.
namespace {
int linkFailure = 0;
int noReplaceFailure = 0;
}  // namespace

extern "C" int link(const char* from, const char* to)
{
    if (linkFailure != 0) {
        errno = linkFailure;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_link, from, to));
}

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags)
{
    if (noReplaceFailure != 0 && (flags & RENAME_NOREPLACE) != 0) {
        errno = noReplaceFailure;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_renameat2, fromFolder, from, toFolder, to, flags));
}

TEST(FileNames, QualifyingNamesAndTheirRecords)
{
    struct Case
    {
        const char* path;
        bool qualifies;
        const char* fileName;
        const char* folder;
    };
    const Case cases[] = {
        {"/Users/a/Pictures/IMG_0042.HEIC", true, "IMG_0042", "/Users/a/Pictures"},
        {"/p/photo.HeIc", true, "photo", "/p"},
        {"/p/photo.heic", true, "photo", "/p"},
        {"/p/archive.2019.heic", true, "archive", "/p"},
        {"/p/.heic", true, "", "/p"},
        {"/p/photo.he\xC4\xB1"
         "c",
         true, "photo", "/p"},  // dotless i upper-cases to I
        {"/p/photo.heic.jpg", false, "photo", "/p"},
        {"/p/heic", false, "heic", "/p"},
        {"/p/photo.heics", false, "photo", "/p"},
        {"/p.heic/photo", false, "photo", "/p.heic"},
        {"/x.heic", true, "x", "/"},
        {"x.heic", true, "x", "."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ambrel::convert::hasHeicName(c.path), c.qualifies);
        const ambrel::convert::FileRecord record = ambrel::convert::makeRecord(c.path);
        EXPECT_EQ(record.heicPath, c.path);
        EXPECT_EQ(record.fileName, c.fileName);
        EXPECT_EQ(record.originalFilePath, c.folder);
        EXPECT_EQ(record.heicFileSize, "0.00 byte");  // nothing there to read
        EXPECT_TRUE(record.toPath.empty());
        EXPECT_TRUE(record.toErrInfo.empty());
    }
}

TEST(FileNames, ByteTexts)
{
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0.00 byte"},           {1000, "1000.00 byte"},  {1001, "1.00 KB"},
        {1500, "1.50 KB"},          {1000000, "1000.00 KB"}, {1000001, "1.00 MB"},
        {1065, "1.07 KB"},  // 1.065 in single precision lies above the midpoint, in double below
        {1135, "1.13 KB"},  // and the other way round
        {1000000000, "1000.00 MB"}, {1000000001, "1.00 GB"}, {123456789012ULL, "123.46 GB"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(ambrel::convert::byteText(bytes), text) << bytes;
    }
}

TEST(FileNames, RecordSizeIsReadFromReadableFilesOnly)
{
    ScratchFolder folder;
    writeFile(folder / "a.heic", fixture::Bytes(1001, 7));
    EXPECT_EQ(ambrel::convert::makeRecord(folder / "a.heic").heicFileSize, "1.00 KB");
    fs::create_directory(folder / "dir.heic");
    EXPECT_EQ(ambrel::convert::makeRecord(folder / "dir.heic").heicFileSize, "0.00 byte");
    ASSERT_EQ(::mkfifo((folder / "pipe.heic").c_str(), 0600), 0);
    EXPECT_EQ(ambrel::convert::makeRecord(folder / "pipe.heic").heicFileSize, "0.00 byte");  // and does not block
}

TEST(FileNames, ListRefusesDuplicatesAndUnqualifiedNames)
{
    ambrel::convert::FileList list;
    EXPECT_EQ(list.addHeicPath("/p/a.heic"), ambrel::convert::Intake::Added);
    EXPECT_EQ(list.addHeicPath("/p/b.jpg"), ambrel::convert::Intake::NotQualified);
    EXPECT_EQ(list.addHeicPath("/p/A.heic"), ambrel::convert::Intake::Added);  // case-sensitive identity
    EXPECT_EQ(list.addHeicPath("/p/a.heic"), ambrel::convert::Intake::Duplicate);
    EXPECT_EQ(list.addGivenPath("/p/b.jpg"), ambrel::convert::Intake::Added);
    EXPECT_EQ(list.addGivenPath("/p/b.jpg"), ambrel::convert::Intake::Duplicate);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].heicPath, "/p/a.heic");
    EXPECT_EQ(list[1].heicPath, "/p/A.heic");
    EXPECT_EQ(list[2].fileName, "b");
    list.remove(1);
    EXPECT_EQ(list[1].heicPath, "/p/b.jpg");
    EXPECT_THROW(list.remove(5), std::out_of_range);
    EXPECT_EQ(ambrel::convert::duplicateLogLine("/p/a.heic"), "找到重复：/p/a.heic");
}

TEST(FileNames, FolderFilesAreSortedAndRecurseOnlyWhenAsked)
{
    ScratchFolder folder;
    for (const char* name : {"b.heic", "a.HEIC", "notes.txt", "sub/c.heic", "sub/deeper/d.heic"}) {
        writeFile(folder / name, {1});
    }
    fs::create_directory(folder / "empty.heic");  // a folder is never an entry
    const std::string root = folder.path();
    EXPECT_EQ(ambrel::convert::folderFiles(root, false),
              (std::vector<std::string>{root + "/a.HEIC", root + "/b.heic", root + "/notes.txt"}));
    EXPECT_EQ(ambrel::convert::folderFiles(root, true),
              (std::vector<std::string>{root + "/a.HEIC", root + "/b.heic", root + "/notes.txt", root + "/sub/c.heic",
                                        root + "/sub/deeper/d.heic"}));
    EXPECT_TRUE(ambrel::convert::folderFiles(folder / "missing", true).empty());
}

TEST(FileNames, HeifNamesStemsAndNaturalOrder)
{
    const std::tuple<const char*, bool, const char*> names[] = {
        {"/p/IMG_0001.HEIC", true, "IMG_0001"},
        {"/p/a.heif", true, "a"},
        {"/p/DSC0001.HIF", true, "DSC0001"},  // cameras write .HIF
        {"/p/b.HeIf", true, "b"},
        {"/p/my photo.2023.heic", true, "my photo.2023"},
        {"/p/photo.heic.jpg", false, "photo.heic"},
        {"/p/photo.hifs", false, "photo"},
        {"/p.heic/photo", false, "photo"},
        {"heic", false, "heic"},
        {"/p/.hif", true, ""},
        {"/p/web.AVIF", true, "web"},
    };
    for (const auto& [path, heif, stem] : names) {
        SCOPED_TRACE(path);
        EXPECT_EQ(ambrel::convert::isHeifFileName(path), heif);
        EXPECT_EQ(ambrel::convert::stemOf(path), stem);
    }
    std::vector<std::string> order = {"IMG_10.heic", "IMG_9.heic", "IMG_0010.heic", "a b/x.heic", "a/x.heic",
                                      "IMG_2.heic",  "img_1.heic", "IMG_1.heic",    "IMG_1a.heic"};
    std::sort(order.begin(), order.end(), ambrel::convert::naturalLess);
    EXPECT_EQ(order, (std::vector<std::string>{"IMG_1.heic", "IMG_1a.heic", "IMG_2.heic", "IMG_9.heic", "IMG_0010.heic",
                                               "IMG_10.heic", "a/x.heic", "a b/x.heic", "img_1.heic"}));
}

TEST(FileNames, FolderScanTakesHeifFilesInNaturalOrderAndCountsTheRest)
{
    ScratchFolder folder;
    for (const char* name : {"DCIM/100APPLE/IMG_10.HEIC", "DCIM/100APPLE/IMG_9.HEIC", "DCIM/100APPLE/notes.txt",
                             "DCIM/101APPLE/IMG_1.heif", "DCIM/101APPLE/DSC_2.HIF", "DCIM/top.jpg", "DCIM/z.heic"}) {
        writeFile(folder / name, {1});
    }
    fs::create_directory_symlink(folder / "DCIM/100APPLE", folder / "DCIM/link");  // not followed
    const std::string dcim = folder / "DCIM";
    const auto flat = ambrel::convert::scanFolder(dcim, false);
    ASSERT_EQ(flat.files.size(), 1u);
    EXPECT_EQ(flat.files[0].path, dcim + "/z.heic");
    EXPECT_EQ(flat.otherFiles, 1u);
    EXPECT_EQ(flat.subfolders, 2u);

    const auto deep = ambrel::convert::scanFolder(dcim, true);
    std::vector<std::string> found;
    for (const auto& entry : deep.files) {
        found.push_back(entry.relative + "|" + entry.path.substr(dcim.size() + 1));
    }
    EXPECT_EQ(found,
              (std::vector<std::string>{"100APPLE|100APPLE/IMG_9.HEIC", "100APPLE|100APPLE/IMG_10.HEIC",
                                        "101APPLE|101APPLE/DSC_2.HIF", "101APPLE|101APPLE/IMG_1.heif", "|z.heic"}));
    EXPECT_EQ(deep.otherFiles, 2u);
    EXPECT_EQ(deep.subfolders, 0u);
}

TEST(OutputNames, TimestampIsWholeSecondsTimesThousand)
{
    using namespace std::chrono;
    const auto before = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    const std::string stamp = ambrel::convert::getNowTimeTimestamp();
    const auto after = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(isTimestamp(stamp)) << stamp;
    const long long value = std::stoll(stamp);
    EXPECT_GE(value, before * 1000);
    EXPECT_LE(value, after * 1000);
}

TEST(OutputNames, FormatsExtensionsAndCandidates)
{
    using ambrel::convert::OutputFormat;
    const std::tuple<const char*, const char*, const char*> words[] = {
        {"JPG", "JPG", "jpg"},      {"PNG", "PNG", "png"},   {"BMP", "BMP", "bmp"},
        {"JPEG2000", "JP2", "jp2"}, {"TIFF", "TIFF", "tif"}, {"WEBP", "WEBP", "webp"}};
    for (const auto& [word, extension, lower] : words) {
        const auto format = ambrel::convert::parseFormatWord(word);
        ASSERT_TRUE(format) << word;
        EXPECT_EQ(ambrel::convert::formatWord(*format), word);
        EXPECT_EQ(ambrel::convert::formatExtension(*format), extension);
        EXPECT_EQ(ambrel::convert::formatExtension(*format, true), lower);
    }
    EXPECT_EQ(ambrel::convert::parseFormatWord("tiff"), OutputFormat::Tiff);
    for (const char* word : {"JPEG", "GIF", "", "JPG "}) {
        EXPECT_FALSE(ambrel::convert::parseFormatWord(word)) << word;
    }
    // The names a user types take the usual aliases too.
    const std::pair<const char*, OutputFormat> names[] = {
        {"jpg", OutputFormat::Jpg},      {"jpeg", OutputFormat::Jpg},          {"JPEG", OutputFormat::Jpg},
        {"tif", OutputFormat::Tiff},     {"Tiff", OutputFormat::Tiff},         {"jp2", OutputFormat::Jpeg2000},
        {"J2K", OutputFormat::Jpeg2000}, {"jpeg2000", OutputFormat::Jpeg2000}, {"png", OutputFormat::Png},
        {"bmp", OutputFormat::Bmp},      {"webp", OutputFormat::Webp},
    };
    for (const auto& [name, format] : names) {
        EXPECT_EQ(ambrel::convert::parseFormatName(name), format) << name;
    }
    for (const char* name : {"GIF", "", "jpe g", "heic"}) {
        EXPECT_FALSE(ambrel::convert::parseFormatName(name)) << name;
    }

    EXPECT_EQ(ambrel::convert::joinOutputPath("/Users/a/Pictures", "IMG_0042_1575264000000", "PNG"),
              "/Users/a/Pictures/IMG_0042_1575264000000.PNG");
    EXPECT_EQ(ambrel::convert::joinOutputPath("out/", "a", "JPG"), "out/a.JPG");
    EXPECT_EQ(ambrel::convert::candidateName("IMG_0042_1575264000000", 1), "IMG_0042_1575264000000");
    EXPECT_EQ(ambrel::convert::candidateName("IMG_0042_1575264000000", 2), "IMG_0042_1575264000000_2");
    EXPECT_EQ(ambrel::convert::candidateName("IMG_0042", 3), "IMG_0042_3");

    // Names past NAME_MAX lose the end of the source's name, never the
    // ending kept, the candidate's number, or half a UTF-8 character.
    const std::string stamp = "_1575264000000";
    const std::string longName = std::string(250, 'x') + stamp;
    const std::string fitted = ambrel::convert::outputFileName(longName, 2, "jpg", stamp.size());
    EXPECT_EQ(fitted, std::string(255 - 20, 'x') + stamp + "_2.jpg");
    std::string accents = "ab";
    for (int i = 0; i < 130; ++i) {
        accents += "\xC3\xA9";
    }
    EXPECT_EQ(ambrel::convert::outputFileName(accents, 1, "png"), accents.substr(0, 250) + ".png");
    EXPECT_EQ(ambrel::convert::outputFileName(std::string(251, 'y'), 1, "jpg"), std::string(251, 'y') + ".jpg");
}

TEST(OutputFiles, CreateDirectory)
{
    ScratchFolder folder;
    const std::string nested = folder / "a/b/c";
    EXPECT_EQ(ambrel::convert::createDirectory(nested), nested);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_EQ(ambrel::convert::createDirectory(nested), nested);  // exists already

    writeFile(folder / "file", {1, 2, 3});
    EXPECT_EQ(ambrel::convert::createDirectory(folder / "file"), folder / "file");  // something exists there
    EXPECT_FALSE(ambrel::convert::createDirectory(folder / "file/sub"));
    EXPECT_FALSE(ambrel::convert::createDirectory(""));
}

TEST(OutputFiles, WritingNeverReplacesAFile)
{
    ScratchFolder folder;
    writeFile(folder / "IMG.JPG", {'o', 'l', 'd'});
    const auto first = ambrel::convert::writeNewFile(folder.path(), "IMG", "JPG", {'n', 'e', 'w'});
    EXPECT_EQ(first, folder / "IMG_2.JPG");
    const auto second = ambrel::convert::writeNewFile(folder.path(), "IMG", "JPG", {'3'});
    EXPECT_EQ(second, folder / "IMG_3.JPG");
    // A dangling link holds its name too.
    fs::create_symlink(folder / "nowhere", folder / "L.JPG");
    EXPECT_EQ(ambrel::convert::writeNewFile(folder.path(), "L", "JPG", {'l'}), folder / "L_2.JPG");

    EXPECT_EQ(readText(folder / "IMG.JPG"), "old");
    EXPECT_EQ(readText(folder / "IMG_2.JPG"), "new");
    EXPECT_EQ(readText(folder / "IMG_3.JPG"), "3");
    EXPECT_EQ(folderNames(folder.path()),
              (std::vector<std::string>{"IMG.JPG", "IMG_2.JPG", "IMG_3.JPG", "L.JPG", "L_2.JPG"}));

    struct stat info
    {};
    ASSERT_EQ(::stat((folder / "IMG_2.JPG").c_str(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);  // an ordinary file, not a private temporary

    writeFile(folder / "plain", {1});
    EXPECT_FALSE(ambrel::convert::writeNewFile(folder / "plain", "IMG", "JPG", {1}));
    EXPECT_FALSE(ambrel::convert::writeNewFile(folder / "missing", "IMG", "JPG", {1}));
}

TEST(OutputFiles, WithoutLinksOrNoReplaceRenamesTheNameIsCreatedAnewAndNeverReplaced)
{
    ScratchFolder folder;
    writeFile(folder / "IMG.jpg", {'o', 'l', 'd'});
    struct Case
    {
        int link;
        int rename;
        const char* name;
    };
    for (const auto& c :
         {Case{EPERM, 0, "IMG_2.jpg"}, Case{EPERM, EINVAL, "IMG_3.jpg"}, Case{EOPNOTSUPP, ENOSYS, "IMG_4.jpg"}}) {
        SCOPED_TRACE(c.name);
        linkFailure = c.link;
        noReplaceFailure = c.rename;
        int error = 0;
        const auto written = writeNewFile(folder.path(), "IMG", "jpg", {'n', 'e', 'w'}, {}, &error);
        linkFailure = noReplaceFailure = 0;
        ASSERT_TRUE(written) << error;
        EXPECT_EQ(*written, folder / c.name);
        EXPECT_EQ(readText(*written), "new");
    }
    EXPECT_EQ(readText(folder / "IMG.jpg"), "old");
    EXPECT_EQ(folderNames(folder.path()),
              (std::vector<std::string>{"IMG.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"}));  // no temporaries
    // Another failure of the rename is the write's.
    linkFailure = EPERM;
    noReplaceFailure = EIO;
    int error = 0;
    EXPECT_FALSE(writeNewFile(folder.path(), "B", "jpg", {'b'}, {}, &error));
    linkFailure = noReplaceFailure = 0;
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(folderNames(folder.path()).size(), 4u);
}

TEST(OutputFiles, ReplacingAFileSwapsInTheWholeNewFile)
{
    ScratchFolder folder;
    writeFile(folder / "a.JPG", {'o', 'l', 'd'});
    int error = 0;
    const auto written = ambrel::convert::replaceFile(folder.path(), "a", "JPG", {'n', 'e', 'w', '!'}, {}, &error);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(*written, folder / "a.JPG");
    EXPECT_EQ(readText(folder / "a.JPG"), "new!");
    EXPECT_EQ(folderNames(folder.path()), (std::vector<std::string>{"a.JPG"}));  // no temporary left
    // A folder that cannot take it: the errno, and no file.
    EXPECT_FALSE(ambrel::convert::replaceFile(folder / "missing", "a", "JPG", {'x'}, {}, &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(OutputFiles, WritesReachTheDiskBeforeTheirFinalName)
{
    // A power loss must never leave a short file under a final name: the
    // temporary file is flushed whole before it is linked, and the folder
    // after the name is there.
    ScratchFolder folder;
    const fixture::Bytes bytes(100000, 0x5a);
    recordedFolder = folder.path();
    flushes.clear();
    const auto written = ambrel::convert::writeNewFile(folder.path(), "IMG", "JPG", bytes);
    recordedFolder.clear();
    ASSERT_EQ(written, folder / "IMG.JPG");

    const std::string temporaryPrefix = folder / (".ambrel-" + std::to_string(::getpid()) + "-");
    const auto fileFlush = std::find_if(flushes.begin(), flushes.end(), [&](const FlushRecord& record) {
        return !record.folder && record.path.rfind(temporaryPrefix, 0) == 0;
    });
    ASSERT_NE(fileFlush, flushes.end()) << "the temporary file is never flushed";
    EXPECT_EQ(fileFlush->size, static_cast<long long>(bytes.size()));
    EXPECT_EQ(std::count(fileFlush->folderNames.begin(), fileFlush->folderNames.end(), "IMG.JPG"), 0)
        << "the final name came before the flush";
    const auto folderFlush = std::find_if(fileFlush, flushes.end(), [&](const FlushRecord& record) {
        return record.folder && record.path == folder.path();
    });
    ASSERT_NE(folderFlush, flushes.end()) << "the folder is never flushed after the file";
    EXPECT_EQ(folderFlush->folderNames, std::vector<std::string>{"IMG.JPG"});  // the name, no temporary
}

TEST(OutputFiles, WritersInParallelEachGetTheirOwnName)
{
    ScratchFolder folder;
    constexpr int kWriters = 8;
    std::vector<std::thread> threads;
    std::vector<std::optional<std::string>> paths(kWriters);
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&, i] {
            const std::string content = "writer " + std::to_string(i);
            paths[static_cast<std::size_t>(i)] = ambrel::convert::writeNewFile(
                folder.path(), "IMG", "JPG", fixture::Bytes(content.begin(), content.end()));
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> names;
    for (int i = 0; i < kWriters; ++i) {
        const auto& path = paths[static_cast<std::size_t>(i)];
        ASSERT_TRUE(path);
        names.insert(*path);
        EXPECT_EQ(readText(*path), "writer " + std::to_string(i));
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(kWriters));
    EXPECT_EQ(folderNames(folder.path()).size(), static_cast<std::size_t>(kWriters));  // no temporaries left
}
