#include "convert/output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <set>
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
    case OutputFormat::Webp: return "WEBP";
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
    for (const auto format : {OutputFormat::Jpg, OutputFormat::Png, OutputFormat::Bmp, OutputFormat::Jpeg2000,
                              OutputFormat::Tiff, OutputFormat::Webp}) {
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

std::string formatExtension(OutputFormat format, bool lowerCase)
{
    if (lowerCase) {
        switch (format) {
        case OutputFormat::Jpg: return "jpg";
        case OutputFormat::Png: return "png";
        case OutputFormat::Bmp: return "bmp";
        case OutputFormat::Jpeg2000: return "jp2";
        case OutputFormat::Tiff: return "tif";
        case OutputFormat::Webp: return "webp";
        }
    }
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

// Temporary files are ".ambrel-PID-N-BOOT-HOST.tmp": hidden, recognisably
// ours, and naming the machine and the boot of their writer.
const char kTemporaryPrefix[] = ".ambrel-";
const char kTemporarySuffix[] = ".tmp";
constexpr std::size_t kBootIdLength = 32;
constexpr std::size_t kMaxHostLength = 64;

// The boot id of the running system as 32 hex digits, or 32 zeros when the
// system does not say.
std::string readBootId()
{
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string text;
    std::getline(in, text);
    std::string id;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
            id += c;
        }
    }
    return id.size() == kBootIdLength ? id : std::string(kBootIdLength, '0');
}

// The host name, with anything but letters, digits, '.' and '-' as '_'.
std::string readHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    std::string host(name);
    host.resize(std::min(host.size(), kMaxHostLength));
    for (char& c : host) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!plain) {
            c = '_';
        }
    }
    return host;
}

const TemporaryName& thisWriter()
{
    static const TemporaryName writer{::getpid(), readBootId(), readHostName()};
    return writer;
}

// Paths that hold a file only while it is being written: temporaries, and a
// final name being filled where the file system has neither links nor
// renames that refuse to replace. Such a file is created and listed in one
// step under the mutex, so that abandonFilesBeingWritten finds every one,
// and none is created after it.
std::mutex inProgressMutex;
std::set<std::string> inProgress;
bool writesAbandoned = false;

// A file created (O_EXCL) and listed as being written until this goes.
class FileBeingWritten
{
public:
    FileBeingWritten() = default;
    ~FileBeingWritten() { forget(); }
    FileBeingWritten(const FileBeingWritten&) = delete;
    FileBeingWritten& operator=(const FileBeingWritten&) = delete;

    // Creates the file for writing (refusing an existing one) and lists it:
    // the descriptor, or none with errno set (ECANCELED once writes are
    // abandoned).
    FileDescriptor create(const std::string& path, int flags)
    {
        forget();
        const std::lock_guard lock(inProgressMutex);
        if (writesAbandoned) {
            errno = ECANCELED;
            return FileDescriptor();
        }
        FileDescriptor fd(::open(path.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd) {
            mPath = path;
            inProgress.insert(mPath);
        }
        return fd;
    }

    // The file is done with (named, or removed): no longer listed.
    void forget()
    {
        if (!mPath.empty()) {
            const std::lock_guard lock(inProgressMutex);
            inProgress.erase(mPath);
            mPath.clear();
        }
    }

private:
    std::string mPath;
};

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

// A new file in the folder, opened for reading and writing under a hidden
// name of this writer and locked for as long as it stays open: the lock
// tells a later sweep that its writer still runs. None when the folder
// cannot take one.
FileDescriptor createTemporary(const std::string& folder, std::string& path, FileBeingWritten& listed)
{
    const TemporaryName& writer = thisWriter();
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = joinOutputPath(folder,
                              kTemporaryPrefix + std::to_string(writer.pid) + "-" + std::to_string(++temporaryCounter) +
                                  "-" + writer.bootId + "-" + writer.host,
                              kTemporarySuffix + 1);
        FileDescriptor fd = listed.create(path, O_RDWR);
        if (!fd) {
            if (errno == EEXIST) {
                continue;
            }
            return fd;
        }
        // A file system without locks leaves the file unlocked, and a sweep
        // never removes a file it cannot lock itself. A sweep that locked the
        // file between its creation and this lock is removing it: another name.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            continue;
        }
        // A sweep may have taken the file between its creation and the lock.
        struct stat info
        {};
        if (::fstat(fd.get(), &info) == 0 && info.st_nlink > 0) {
            return fd;
        }
    }
    errno = EEXIST;
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

// renameat2 with RENAME_NOREPLACE is refused by file systems that do not
// know the flag (FUSE file systems such as exfat-fuse and fusefat: EINVAL).
bool noReplaceUnsupported(int error)
{
    // NOLINTNEXTLINE(misc-redundant-expression)
    return error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS;
}

int errnoOrEio()
{
    return errno != 0 ? errno : EIO;
}

// Writes the bytes (and the modification time) into the file and flushes
// them to disk: 0, or the errno of the first step that failed.
int fillFile(int fd, const Bytes& bytes, const WriteOptions& options)
{
    if (!writeAll(fd, bytes)) {
        return errnoOrEio();
    }
    if (options.modificationTime) {
        const struct timespec times[2] = {*options.modificationTime, *options.modificationTime};
        if (::futimens(fd, times) != 0) {
            return errnoOrEio();
        }
    }
    if (::fsync(fd) != 0) {
        return errnoOrEio();
    }
    return 0;
}

// Creates the final name itself, refusing an existing one, and fills it: for
// file systems with neither hard links nor a rename that refuses to replace.
// A failure removes the name again. 0, EEXIST when the name is taken, or the
// errno of the step that failed.
int fillNewName(const std::string& target, const Bytes& bytes, const WriteOptions& options)
{
    FileBeingWritten listed;
    FileDescriptor fd = listed.create(target, O_WRONLY);
    if (!fd) {
        return errnoOrEio();
    }
    int failure = fillFile(fd.get(), bytes, options);
    const int closed = fd.close();
    if (failure == 0) {
        failure = closed;
    }
    if (failure != 0) {
        ::unlink(target.c_str());
    }
    return failure;
}

// How publishTemporary gives the file its final name.
enum class Publish {
    Link,    // a hard link; the caller removes the temporary name
    Rename,  // a rename that never replaces; the temporary name is gone
    Fill,    // neither works here: the final name is created and filled anew
};

// Gives the written temporary file the first free name of STEM.EXT,
// STEM_2.EXT, ...: a hard link where the file system has them, else a rename
// that never replaces a file, else a new file created under the name (never
// over an existing one) and filled with the bytes. The final path, or none
// with `failure` set; `how` says which way was taken.
std::optional<std::string> publishTemporary(const std::string& folder, const std::string& temporary,
                                            std::string_view stem, std::string_view extension, const Bytes& bytes,
                                            const WriteOptions& options, Publish& how, int& failure)
{
    how = Publish::Link;
    for (unsigned n = std::max(options.firstCandidate, 1U); n <= kMaxNameCandidates; ++n) {
        const std::string target = folderPath(folder, outputFileName(stem, n, extension, options.keptTail));
        if (how == Publish::Link) {
            if (::link(temporary.c_str(), target.c_str()) == 0) {
                return target;
            }
            if (errno == EEXIST) {
                continue;
            }
            if (!linkUnsupported(errno)) {
                failure = errnoOrEio();
                return std::nullopt;
            }
            how = Publish::Rename;
        }
        if (how == Publish::Rename) {
            if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
                return target;
            }
            if (errno == EEXIST) {
                continue;
            }
            if (!noReplaceUnsupported(errno)) {
                failure = errnoOrEio();
                return std::nullopt;
            }
            how = Publish::Fill;
        }
        const int filled = fillNewName(target, bytes, options);
        if (filled == 0) {
            return target;
        }
        if (filled != EEXIST) {
            failure = filled;
            return std::nullopt;
        }
    }
    failure = EEXIST;  // every candidate name is taken
    return std::nullopt;
}

// A temporary file in the folder holding the bytes, named in `temporary`
// (left empty when none could be created) and kept open (and locked) in
// `fd`; 0, or the errno value of the call that failed.
int writeTemporary(const std::string& folder, const Bytes& bytes, const WriteOptions& options, std::string& temporary,
                   FileDescriptor& fd, FileBeingWritten& listed)
{
    fd = createTemporary(folder, temporary, listed);
    if (!fd) {
        const int failure = errnoOrEio();
        temporary.clear();
        return failure;
    }
    return fillFile(fd.get(), bytes, options);
}

}  // namespace

std::string outputFileName(std::string_view stem, unsigned n, std::string_view extension, std::size_t keptTail)
{
    std::string tail = std::string(stem.substr(stem.size() - std::min(keptTail, stem.size())));
    if (n >= 2) {
        tail += '_' + std::to_string(n);
    }
    tail += '.';
    tail += extension;
    std::string_view head = stem.substr(0, stem.size() - std::min(keptTail, stem.size()));
    if (head.size() + tail.size() > NAME_MAX) {
        std::size_t keep = tail.size() < NAME_MAX ? NAME_MAX - tail.size() : 0;
        // Never cut a UTF-8 sequence: step back over continuation bytes.
        while (keep > 0 && keep < head.size() && (static_cast<unsigned char>(head[keep]) & 0xC0) == 0x80) {
            --keep;
        }
        head = head.substr(0, keep);
    }
    return std::string(head) + tail;
}

std::string folderPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

unsigned abandonFilesBeingWritten()
{
    const std::lock_guard lock(inProgressMutex);
    writesAbandoned = true;
    unsigned removed = 0;
    for (const std::string& path : inProgress) {
        if (::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::optional<std::string> writeNewFile(const std::string& folder, std::string_view stem, std::string_view extension,
                                        const Bytes& bytes, const WriteOptions& options, int* errorNumber)
{
    std::string temporary;
    FileDescriptor fd;
    FileBeingWritten listed;
    int failure = writeTemporary(folder, bytes, options, temporary, fd, listed);
    if (temporary.empty()) {
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    std::optional<std::string> published;
    Publish how = Publish::Link;
    if (failure == 0) {
        published = publishTemporary(folder, temporary, stem, extension, bytes, options, how, failure);
    }
    if (!published || how != Publish::Rename) {
        ::unlink(temporary.c_str());
    }
    listed.forget();
    static_cast<void>(fd.close());  // the bytes are on disk: nothing is lost at the close
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
    FileDescriptor fd;
    FileBeingWritten listed;
    int failure = writeTemporary(folder, bytes, options, temporary, fd, listed);
    if (temporary.empty()) {
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    const std::string target =
        folderPath(folder, outputFileName(stem, std::max(options.firstCandidate, 1U), extension, options.keptTail));
    if (failure == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        failure = errnoOrEio();
    }
    if (failure != 0) {
        ::unlink(temporary.c_str());
    }
    listed.forget();
    static_cast<void>(fd.close());
    if (failure != 0) {
        if (errorNumber != nullptr) {
            *errorNumber = failure;
        }
        return std::nullopt;
    }
    syncFolder(folder);
    return target;
}

std::optional<TemporaryName> parseTemporaryName(std::string_view name)
{
    const std::string_view prefix(kTemporaryPrefix);
    const std::string_view suffix(kTemporarySuffix);
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    std::string_view rest = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    // PID-N-BOOT-HOST: the host name may hold '-' itself, so it is what is left.
    const auto field = [&rest]() -> std::optional<std::string_view> {
        const auto dash = rest.find('-');
        if (dash == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view text = rest.substr(0, dash);
        rest.remove_prefix(dash + 1);
        return text;
    };
    const auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 10 && text[0] != '0' &&
               text.find_first_not_of("0123456789") == std::string_view::npos;
    };
    const auto pid = field();
    const auto counter = field();
    const auto boot = field();
    if (!pid || !counter || !boot || !digits(*pid) || !digits(*counter) || boot->size() != kBootIdLength ||
        boot->find_first_not_of("0123456789abcdef") != std::string_view::npos || rest.empty() ||
        rest.size() > kMaxHostLength) {
        return std::nullopt;
    }
    const long value = std::stol(std::string(*pid));
    if (value <= 0 || value > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return TemporaryName{value, std::string(*boot), std::string(rest)};
}

TemporaryName thisTemporaryWriter()
{
    return thisWriter();
}

unsigned removeStaleTemporaries(const std::string& folder)
{
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return 0;
    }
    const int folderFd = ::dirfd(directory);
    const TemporaryName& self = thisWriter();
    const bool bootKnown = self.bootId != std::string(kBootIdLength, '0');
    unsigned removed = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const auto owner = parseTemporaryName(entry->d_name);
        // Another host's writer may be at work: nothing here can tell.
        if (!owner || owner->host != self.host) {
            continue;
        }
        const FileDescriptor fd(::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info
        {};
        if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        // A writer of this host holds its file's lock while it writes, in
        // whatever process namespace; one of an earlier boot is gone (its
        // lock is checked all the same: a live writer of another machine of
        // the same name shows it where the file system shares locks). With
        // no boot known, nothing proves a writer gone.
        const std::string unknownBoot(kBootIdLength, '0');
        if (!bootKnown || owner->bootId == unknownBoot || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
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
