#include "convert/file_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "convert/file_descriptor.h"

namespace ambrel::convert {

std::string_view lastComponent(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string baseNameOf(std::string_view path)
{
    const std::string_view name = lastComponent(path);
    return std::string(name.substr(0, name.find('.')));
}

std::string stemOf(std::string_view path)
{
    const std::string_view name = lastComponent(path);
    return std::string(name.substr(0, name.rfind('.')));
}

bool isHeifFileName(std::string_view name)
{
    name = lastComponent(name);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == "heic" || extension == "heif" || extension == "hif" || extension == "avif";
}

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The byte's rank in natural order: "/" first.
int byteRank(char c)
{
    return c == '/' ? -1 : static_cast<unsigned char>(c);
}

}  // namespace

bool naturalLess(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the runs by value: without leading zeros, the longer
            // run is the greater; equal lengths compare digit by digit.
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && isDigit(a[endA])) {
                ++endA;
            }
            while (endB < b.size() && isDigit(b[endB])) {
                ++endB;
            }
            std::size_t startA = i;
            std::size_t startB = j;
            while (startA + 1 < endA && a[startA] == '0') {
                ++startA;
            }
            while (startB + 1 < endB && b[startB] == '0') {
                ++startB;
            }
            const std::string_view runA = a.substr(startA, endA - startA);
            const std::string_view runB = b.substr(startB, endB - startB);
            if (runA.size() != runB.size()) {
                return runA.size() < runB.size();
            }
            if (runA != runB) {
                return runA < runB;
            }
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) {
            return byteRank(a[i]) < byteRank(b[j]);
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();
    }
    return a < b;  // equal by value: a stable, total order all the same
}

std::string folderOf(std::string_view path)
{
    // Trailing slashes belong to the last component, not to the folder.
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

bool hasHeicName(std::string_view path)
{
    const std::string_view name = lastComponent(path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    // Upper-case the last piece and compare with "HEIC". Besides the ASCII
    // letters, only the dotless i (U+0131, UTF-8 C4 B1) upper-cases into one
    // of these four letters.
    std::string upper;
    const std::string_view piece = name.substr(dot + 1);
    for (std::size_t i = 0; i < piece.size(); ++i) {
        const auto c = static_cast<unsigned char>(piece[i]);
        if (c == 0xC4 && i + 1 < piece.size() && static_cast<unsigned char>(piece[i + 1]) == 0xB1) {
            upper += 'I';
            ++i;
        } else if (c >= 'a' && c <= 'z') {
            upper += static_cast<char>(c - 'a' + 'A');
        } else {
            upper += static_cast<char>(c);
        }
    }
    return upper == "HEIC";
}

std::string byteText(std::uint64_t bytes)
{
    double divisor = 1.0;
    const char* unit = " byte";
    if (bytes >= 1'000'000'001ULL) {
        divisor = 1e9;
        unit = " GB";
    } else if (bytes >= 1'000'001ULL) {
        divisor = 1e6;
        unit = " MB";
    } else if (bytes >= 1'001ULL) {
        divisor = 1e3;
        unit = " KB";
    }
    const float quotient = static_cast<float>(static_cast<double>(bytes) / divisor);
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, static_cast<double>(quotient), std::chars_format::fixed, 2);
    return std::string(text, result.ptr) + unit;
}

std::uint64_t readableFileSize(const std::string& path)
{
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        return 0;
    }
    struct stat info
    {};
    const bool regular = ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
    return regular ? static_cast<std::uint64_t>(info.st_size) : 0;
}

FileRecord makeRecord(const std::string& path)
{
    FileRecord record;
    record.heicPath = path;
    record.originalFilePath = folderOf(path);
    record.heicFileSize = byteText(readableFileSize(path));
    record.fileName = baseNameOf(path);
    return record;
}

std::string duplicateLogLine(const std::string& path)
{
    return "找到重复：" + path;
}

bool FileList::contains(const std::string& path) const
{
    return std::any_of(mRecords.begin(), mRecords.end(),
                       [&](const FileRecord& record) { return record.heicPath == path; });
}

Intake FileList::addHeicPath(const std::string& path)
{
    if (!hasHeicName(path)) {
        return Intake::NotQualified;
    }
    return addGivenPath(path);
}

Intake FileList::addGivenPath(const std::string& path)
{
    if (contains(path)) {
        return Intake::Duplicate;
    }
    mRecords.push_back(makeRecord(path));
    return Intake::Added;
}

void FileList::remove(std::size_t index)
{
    if (index >= mRecords.size()) {
        throw std::out_of_range("FileList::remove: no such row");
    }
    mRecords.erase(mRecords.begin() + static_cast<std::ptrdiff_t>(index));
}

std::vector<std::string> folderFiles(const std::string& folder, bool recursive)
{
    namespace fs = std::filesystem;
    // The iterators give "folder/entry" paths built on the folder text as given.
    std::vector<std::string> paths;
    std::error_code error;
    const auto take = [&](const fs::directory_entry& entry) {
        std::error_code typeError;
        if (!entry.is_directory(typeError)) {
            paths.push_back(entry.path().string());
        }
    };
    if (recursive) {
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            take(*it);
        }
    } else {
        fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            take(*it);
        }
    }
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) { return naturalLess(a, b); });
    return paths;
}

namespace {

void scanInto(const std::string& folder, const std::string& relative, bool recursive, FolderScan& scan)
{
    namespace fs = std::filesystem;
    std::vector<std::pair<std::string, bool>> entries;  // name, is a folder (not a link to one)
    std::error_code error;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    if (error) {
        scan.unreadable.emplace_back(folder, error.message());
        return;
    }
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        const bool isLink = it->is_symlink(typeError);
        const bool isFolder = it->is_directory(typeError);
        if (isFolder && isLink) {
            continue;  // links to folders are not followed, nor counted
        }
        entries.emplace_back(it->path().filename().string(), isFolder);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return naturalLess(a.first, b.first); });
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    for (const auto& [name, isFolder] : entries) {
        if (isFolder) {
            if (recursive) {
                std::string below = relative;
                if (!below.empty()) {
                    below += '/';
                }
                below += name;
                scanInto(prefix + name, below, true, scan);
            } else {
                ++scan.subfolders;
            }
        } else if (isHeifFileName(name)) {
            scan.files.push_back({prefix + name, relative});
        } else {
            ++scan.otherFiles;
        }
    }
}

}  // namespace

FolderScan scanFolder(const std::string& folder, bool recursive)
{
    FolderScan scan;
    scanInto(folder, std::string(), recursive, scan);
    return scan;
}

}  // namespace ambrel::convert
