// Linux side of platform::File: descriptors opened without following links,
// positional reads and writes, ftruncate for the size, fallocate for the
// reservation, flock for the lock.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/text.h"

namespace platform {

namespace {

int fdOf(std::intptr_t handle) { return static_cast<int>(handle); }

// Opens an existing regular file or creates one; a symbolic link or a file
// with other hard links is unlinked and replaced by a new file (O_EXCL, so a
// link put back in between fails the open instead of being followed).
int openRegularFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != ELOOP) return -1;
    if (fd >= 0) {
        struct stat info {};
        // Devices, pipes and sockets are refused, never removed.
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return -1;
        }
        if (info.st_nlink == 1) return fd;
        ::close(fd);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

}  // namespace

bool File::openForWriting(const std::wstring& path) {
    close();
    const int fd = openRegularFile(toUtf8(path));
    if (fd < 0) return false;
    m_handle = fd;
    m_writable = true;
    return true;
}

File::Lock File::openLocked(const std::wstring& path) {
    close();
    const int fd = openRegularFile(toUtf8(path));
    if (fd < 0) return Lock::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Lock::Held : Lock::Failed;
    }
    m_handle = fd;
    return Lock::Taken;
}

bool File::holdReadOnly() {
    if (!isOpen()) return false;
    if (!m_writable) return true;
    // Reopened through the descriptor itself, so the name cannot have been
    // swapped for another file in between.
    const std::string self = "/proc/self/fd/" + std::to_string(fdOf(m_handle));
    const int reader = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    close();
    if (reader < 0) return false;
    m_handle = reader;
    m_writable = false;
    return true;
}

bool File::openHeld(const std::wstring& path) {
    close();
    const int fd = ::open(toUtf8(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

bool File::isOpen() const { return m_handle >= 0; }

void File::close() {
    if (m_handle >= 0) ::close(fdOf(m_handle));
    m_handle = -1;
    m_writable = false;
}

std::int64_t File::size() const {
    struct stat info {};
    if (!isOpen() || ::fstat(fdOf(m_handle), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

bool File::resize(std::int64_t length) {
    if (!m_writable || length < 0) return false;
    return ::ftruncate(fdOf(m_handle), static_cast<off_t>(length)) == 0;
}

File::Reservation File::reserve(std::int64_t length) {
    const std::int64_t before = size();
    if (!m_writable || length < 0 || before < 0) return Reservation::Failed;
    const int fd = fdOf(m_handle);
    if (length < before && ::ftruncate(fd, static_cast<off_t>(length)) != 0) return Reservation::Failed;
    if (length == 0) return Reservation::Done;
    // Mode 0 grows the file as it allocates, keeps what it holds and fills
    // its holes.
    if (::fallocate(fd, 0, 0, static_cast<off_t>(length)) == 0) return Reservation::Done;
    if (errno == ENOSPC || errno == EDQUOT) {
        // Blocks a failed call may have taken past the old end go again.
        if (length > before) {
            [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(before));
        }
        errno = ENOSPC;
        return Reservation::NoSpace;
    }
    if (errno != EOPNOTSUPP && errno != ENOSYS) return Reservation::Failed;
    // A file system that cannot allocate ahead: its free space must cover
    // what the file does not hold yet.
    struct statvfs volume {};
    const std::int64_t held = allocatedBytes();
    if (::fstatvfs(fd, &volume) == 0 && held >= 0 &&
        static_cast<std::int64_t>(volume.f_bavail) * static_cast<std::int64_t>(volume.f_frsize) < length - held) {
        errno = ENOSPC;
        return Reservation::NoSpace;
    }
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? Reservation::Done : Reservation::Failed;
}

std::int64_t File::allocatedBytes() const {
    struct stat info {};
    if (!isOpen() || ::fstat(fdOf(m_handle), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

bool File::lastFailureWasNoSpace() { return errno == ENOSPC || errno == EDQUOT; }

bool File::writeAt(std::int64_t offset, const void* data, std::size_t length) {
    if (!m_writable || offset < 0) return false;
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::pwrite(fdOf(m_handle), bytes, length, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes += written;
        offset += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

std::int64_t File::readAt(std::int64_t offset, void* data, std::size_t length) const {
    if (!isOpen() || offset < 0) return -1;
    char* bytes = static_cast<char*>(data);
    std::int64_t total = 0;
    while (length > 0) {
        const ssize_t got = ::pread(fdOf(m_handle), bytes, length, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        bytes += got;
        offset += got;
        total += got;
        length -= static_cast<std::size_t>(got);
    }
    return total;
}

bool File::sync() { return isOpen() && ::fsync(fdOf(m_handle)) == 0; }

bool File::replaceWhole(const std::wstring& path, const std::string& bytes) {
    const std::string target = toUtf8(path);
    // Devices, pipes, sockets and directories are refused, never replaced;
    // a regular file or a link is.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return false;
    const std::wstring temporary = path + L".tmp";
    if (writeWhole(temporary, bytes, true) && ::rename(toUtf8(temporary).c_str(), target.c_str()) == 0) {
        // The rename itself made durable, so that a later replace (of this
        // file or another in the folder) never survives a power loss without it.
        const std::size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    // The cause of the failure outlives the clean-up, for the caller to tell.
    const int cause = errno;
    ::unlink(toUtf8(temporary).c_str());
    errno = cause;
    return false;
}

}  // namespace platform
