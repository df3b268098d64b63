// An open POSIX file descriptor with one owner: closed when the owner goes
// away, so that no early return leaks it. Move-only.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ambrel::convert {

class FileDescriptor
{
public:
    FileDescriptor() = default;
    // Takes ownership of `fd`; a negative value owns nothing.
    explicit FileDescriptor(int fd) noexcept : mFd(fd) {}

    // Leaves errno as it was: a caller may still be about to report it.
    ~FileDescriptor()
    {
        const int saved = errno;
        static_cast<void>(close());
        errno = saved;
    }

    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    FileDescriptor(FileDescriptor&& other) noexcept : mFd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            static_cast<void>(close());
            mFd = other.release();
        }
        return *this;
    }

    [[nodiscard]] int get() const noexcept { return mFd; }
    [[nodiscard]] bool valid() const noexcept { return mFd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() noexcept { return std::exchange(mFd, -1); }

    // Closes now. 0, or the errno of a failed close (a write that the system
    // deferred may only fail here); the descriptor is gone either way, as
    // close() on Linux never leaves it open. Closing nothing is 0.
    [[nodiscard]] int close() noexcept
    {
        const int fd = release();
        if (fd < 0) {
            return 0;
        }
        return ::close(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
    }

private:
    int mFd = -1;
};

}  // namespace ambrel::convert
