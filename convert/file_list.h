// The list of files a conversion job works on: one record per source file,
// how a path qualifies for the list, and the size text shown for a file.
//
// Plain data and path arithmetic; no toolkit. The application keeps its own
// view bindings beside these records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ambrel::convert {

// One source file of the list.
struct FileRecord
{
    std::string heicPath;          // full path of the source, as received; identity of the row
    std::string originalFilePath;  // the folder holding the source (see folderOf)
    std::string heicFileSize;      // size text (byteText), fixed at intake
    std::string fileName;          // the file name up to, not including, its first "."
    std::string toPath;            // output written by the last job; empty until then
    std::string toErrInfo;         // failure text of the last job; empty when none
    std::string toErrDetail;       // what went wrong, in English, when toErrInfo is set
    // Where below JobOptions::outputFolder the output goes ("2023/100APPLE"),
    // so that a tree of sources is mirrored; empty: the output folder itself.
    // Not used when outputs go beside their sources.
    std::string outputSubfolder;
};

// The text after the last "/" of the path (the whole path if there is none).
std::string_view lastComponent(std::string_view path);

// The base name used in output names: the file name up to, not including,
// its first "." ("IMG_0042.HEIC" -> "IMG_0042", "a.b.heic" -> "a", ".heic" -> "").
std::string baseNameOf(std::string_view path);

// The stem of a file name: the last component up to, not including, its
// last "." ("my photo.2023.heic" -> "my photo.2023"; "IMG" -> "IMG").
std::string stemOf(std::string_view path);

// Whether a name (or the last component of a path) ends in ".heic", ".heif",
// ".hif" or ".avif" (the same container with AV1 pictures) in any letter
// case: the files a folder contributes.
bool isHeifFileName(std::string_view name);

// Natural order: runs of digits compare by their value ("IMG_2" before
// "IMG_10"), everything else byte by byte; "/" sorts before any other byte,
// so that a folder's files come before a sibling named with a longer text.
// Ties (equal values spelt "01" and "1") fall back to the bytes.
bool naturalLess(std::string_view a, std::string_view b);

// The path without its last component and the "/" before it. "/x.heic" gives
// "/", and a bare file name ("x.heic") gives "." so that outputs saved beside
// it land in the current folder rather than at the root.
std::string folderOf(std::string_view path);

// The name test: the file name, split at every "." (empty pieces count), has
// at least two pieces and the last one reads "HEIC" in upper case
// ("photo.HeIc" passes, "photo.heic.jpg" and "photo" do not, ".heic" passes).
bool hasHeicName(std::string_view path);

// The size text of a byte count in decimal units, two decimals, the quotient
// taken in single precision: "1000.00 byte", "1.00 KB", "1000.00 KB",
// "1.00 MB", "1.00 GB". Independent of the process locale.
std::string byteText(std::uint64_t bytes);

// The size of a readable regular file, 0 for anything else (missing,
// unreadable, a folder, a device). Never blocks on a FIFO.
std::uint64_t readableFileSize(const std::string& path);

// A record for a path: base name, folder and size text filled in, no results.
FileRecord makeRecord(const std::string& path);

// The log line written when a path is already listed.
std::string duplicateLogLine(const std::string& path);

// What happened to a path offered to the list.
enum class Intake {
    Added,
    Duplicate,     // a record with exactly this path (case-sensitive) is listed
    NotQualified,  // the name test failed
};

// The ordered list of records. New records go to the end; the list order is
// the conversion order.
class FileList
{
public:
    // Qualifies the path by its name, refuses duplicates, and appends a record.
    Intake addHeicPath(const std::string& path);
    // Like addHeicPath without the name test: for files named explicitly.
    Intake addGivenPath(const std::string& path);

    bool contains(const std::string& path) const;
    void remove(std::size_t index);
    void clear() { mRecords.clear(); }

    bool empty() const { return mRecords.empty(); }
    std::size_t size() const { return mRecords.size(); }
    const std::vector<FileRecord>& records() const { return mRecords; }
    FileRecord& operator[](std::size_t index) { return mRecords.at(index); }
    const FileRecord& operator[](std::size_t index) const { return mRecords.at(index); }

private:
    std::vector<FileRecord> mRecords;
};

// The paths in a folder that are not folders themselves (files, and links
// to them), in natural order (naturalLess); with `recursive`, the entries of its subfolders
// too (symbolic links to folders are not followed). Unreadable subfolders
// are skipped. Paths are "folder/entry".
std::vector<std::string> folderFiles(const std::string& folder, bool recursive);

// What a folder holds for a conversion: its HEIF files (isHeifFileName) in
// natural order, with the path below the folder of each, and what it skipped.
struct FolderScan
{
    struct Entry
    {
        std::string path;      // "folder/sub/name.heic"
        std::string relative;  // the folder part below the scanned folder ("sub"; "" for its own files)
    };
    std::vector<Entry> files;
    std::size_t otherFiles = 0;  // files that are not HEIF files
    std::size_t subfolders = 0;  // subfolders not searched (without `recursive`)
    // Folders that could not be read for another reason than a lack of
    // permission (a path longer than PATH_MAX, a loop, an I/O error), each
    // with the system's reason.
    std::vector<std::pair<std::string, std::string>> unreadable;
};

// Scans the folder, with `recursive` its subfolders too (symbolic links to
// folders are not followed; subfolders without read permission are left out,
// other unreadable ones listed in `unreadable`). Entries of
// one folder come in natural order, a subfolder's right after its name's place.
FolderScan scanFolder(const std::string& folder, bool recursive);

}  // namespace ambrel::convert
