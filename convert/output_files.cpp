#include "convert/output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <limits>
#include <mutex>
#include <system_error>
#include <utility>

#include "convert/file_descriptor.h"

namespace ambrel::convert {

std::string formatWord(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Jpg: return "JPG";
    case OutputFormat::Png: return "PNG";
    case OutputFormat::Bmp: return "BMP";
    case OutputFormat::Jpeg2000: return "JPEG2000";
    case OutputFormat::Tiff: return "TIFF";
    }
    return "JPG";
}

std::optional<OutputFormat> parseFormatWord(std::string_view word)
{
    std::string upper(word);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    for (const auto format :
         {OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Bmp, OutputFormat::Jpeg2000, OutputFormat::Tiff}) {
        if (upper == formatWord(format)) {
            return format;
        }
    }
    return std::nullopt;
}

std::optional<OutputFormat> parseFormatName(std::string_view name)
{
    if (const auto format = parseFormatWord(name)) {
        return format;
    }
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (upper == "JPEG") {
        return OutputFormat::Jpg;
    }
    if (upper == "TIF") {
        return OutputFormat::Tiff;
    }
    if (upper == "JP2" || upper == "J2K") {
        return OutputFormat::Jpeg2000;
    }
    return std::nullopt;
}

std::string formatExtension(OutputFormat format)
{
    return format == OutputFormat::Jpeg2000 ? "JP2" : formatWord(format);
}

std::string getNowTimeTimestamp()
{
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    return std::to_string(static_cast<long long>(seconds.count()) * 1000LL);
}

std::optional<std::string> createDirectory(const std::string& folder, std::string* reason)
{
    std::error_code error;
    if (std::filesystem::exists(folder, error)) {
        return folder;
    }
    if (folder.empty()) {
        if (reason != nullptr) {
            *reason = "no folder given";
        }
        return std::nullopt;
    }
    std::error_code created;
    std::filesystem::create_directories(folder, created);
    // Another worker may have created it in the meantime; that is as good.
    if (created && !std::filesystem::is_directory(folder, error)) {
        if (reason != nullptr) {
            *reason = created.message();
        }
        return std::nullopt;
    }
    return folder;
}

std::string joinOutputPath(std::string_view folder, std::string_view name, std::string_view extension)
{
    std::string path(folder);
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    path += '.';
    path += extension;
    return path;
}

std::string candidateName(std::string_view stem, unsigned n)
{
    std::string name(stem);
    if (n >= 2) {
        name += '_';
        name += std::to_string(n);
    }
    return name;
}

namespace {

std::atomic<unsigned> temporaryCounter{0};

// Temporary files are ".ambrel-PID-N.tmp": hidden, and recognisably ours.
const char kTemporaryPrefix[] = ".ambrel-";
const char kTemporarySuffix[] = ".tmp";

bool writeAll(int fd, const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A new file in the folder, opened for writing under a hidden name of this
// process; none when the folder cannot take one.
FileDescriptor createTemporary(const std::string& folder, std::string& path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = joinOutputPath(folder,
                              kTemporaryPrefix + std::to_string(::getpid()) + "-" + std::to_string(++temporaryCounter),
                              kTemporarySuffix + 1);
        FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd || errno != EEXIST) {
            return fd;
        }
    }
    return FileDescriptor();
}

// Flushes the folder's entries (a new or removed name) to disk. A file system
// that cannot flush a folder leaves nothing to do.
void syncFolder(const std::string& folder)
{
    const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get());
    }
}

bool linkUnsupported(int error)
{
    // EOPNOTSUPP and ENOTSUP are one value on Linux, not on every system.
    // NOLINTNEXTLINE(misc-redundant-expression)
    return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

int errnoOrEio()
{
    return errno != 0 ? errno : EIO;
}

// Writes the bytes (and the modification time) into the temporary file and
// closes it: 0, or the errno of the first step that failed. The bytes reach
// the disk before the file gets a final name.
int fillTemporary(FileDescriptor fd, const Bytes& bytes, const WriteOptions& options)
{
    if (!writeAll(fd.get(), bytes)) {
        return errnoOrEio();
    }
    if (options.modificationTime) {
        const struct timespec times[2] = {*options.modificationTime, *options.modificationTime};
        if (::futimens(fd.get(), times) != 0) {
            return errnoOrEio();
        }
    }
    if (::fsync(fd.get()) != 0) {
        return errnoOrEio();
    }
    return fd.close();
}

// Gives the written temporary file the first free name of STEM.EXT,
// STEM_2.EXT, ...: a hard link where the file system has them (the temporary
// name is removed by the caller), else a rename that never replaces a file
// (`renamed` set: the temporary name is gone). The final path, or none with
// `failure` set.
std::optional<std::string> publishTemporary(const std::string& folder, const std::string& temporary,
                                            std::string_view stem, std::string_view extension, unsigned firstCandidate,
                                            bool& renamed, int& failure)
{
    bool useRename = false;
    for (unsigned n = std::max(firstCandidate, 1U); n <= kMaxNameCandidates; ++n) {
        const std::string target = joinOutputPath(folder, candidateName(stem, n), extension);
        if (!useRename) {
            if (::link(temporary.c_str(), target.c_str()) == 0) {
                return target;
            }
            if (linkUnsupported(errno)) {
                useRename = true;
            } else if (errno == EEXIST) {
                continue;
            } else {
                failure = errnoOrEio();
                return std::nullopt;
            }
        }
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            renamed = true;
            return target;
        }
        if (errno != EEXIST) {
            failure = errnoOrEio();
            return std::nullopt;
        }
    }
    failure = EEXIST;  // every candidate name is taken
    return std::nullopt;
}

// A temporary file in the folder holding the bytes, named in `temporary`
// (left empty when none could be created); 0, or the errno value of the
// call that failed.
int writeTemporary(const std::string& folder, const Bytes& bytes, const WriteOptions& options, std::string& temporary)
{
    FileDescriptor fd = createTemporary(folder, temporary);
    if (!fd) {
        const int failure = errnoOrEio();
        temporary.clear();
        return failure;
    }
    return fillTemporary(std::move(fd), bytes, options);
}

}  // namespace

std::optional<std::string> writeNewFile(const std::string& folder, std::string_view stem, std::string_view extension,
                                        const Bytes& bytes, const WriteOptions& options, int* errorNumber)
{
    std::string temporary;
    int failure = writeTemporary(folder, bytes, options, temporary);
    if (temporary.empty()) {
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    std::optional<std::string> published;
    bool renamed = false;
    if (failure == 0) {
        published = publishTemporary(folder, temporary, stem, extension, options.firstCandidate, renamed, failure);
    }
    if (!renamed) {
        ::unlink(temporary.c_str());
    }
    if (published) {
        syncFolder(folder);
    }
    if (!published && errorNumber != nullptr) {
        *errorNumber = failure;
    }
    return published;
}

std::optional<std::string> replaceFile(const std::string& folder, std::string_view stem, std::string_view extension,
                                       const Bytes& bytes, const WriteOptions& options, int* errorNumber)
{
    std::string temporary;
    int failure = writeTemporary(folder, bytes, options, temporary);
    if (temporary.empty()) {
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    const std::string target = joinOutputPath(folder, stem, extension);
    if (failure == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        failure = errnoOrEio();
    }
    if (failure != 0) {
        ::unlink(temporary.c_str());
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    syncFolder(folder);
    return target;
}

std::optional<long> temporaryFileOwner(std::string_view name)
{
    const std::string_view prefix(kTemporaryPrefix);
    const std::string_view suffix(kTemporarySuffix);
    if (name.size() <= prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix) {
        return std::nullopt;
    }
    const std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    const auto dash = middle.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 10 && text[0] != '0' &&
               text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    const std::string_view pid = middle.substr(0, dash);
    if (!digits(pid) || !digits(middle.substr(dash + 1))) {
        return std::nullopt;
    }
    const long value = std::stol(std::string(pid));
    if (value <= 0 || value > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return value;
}

unsigned removeStaleTemporaries(const std::string& folder)
{
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return 0;
    }
    const int folderFd = ::dirfd(directory);
    const long self = ::getpid();
    unsigned removed = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const auto owner = temporaryFileOwner(entry->d_name);
        if (!owner || *owner == self) {
            continue;
        }
        // kill with no signal only asks whether the process exists; EPERM
        // says it does (another user's).
        if (::kill(static_cast<pid_t>(*owner), 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat info
        {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        if (::unlinkat(folderFd, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(directory);
    if (removed != 0) {
        syncFolder(folder);
    }
    return removed;
}

}  // namespace ambrel::convert
