// Windows side of platform::File: handles shared for reading only (the lock's
// with nobody), opened on the link itself so that reparse points are replaced
// instead of followed. Space is reserved through the allocation size, or,
// where the file system does not take it, checked against the free space.
#include "platform/file.h"

#include <windows.h>

#include <string>
#include <utility>

namespace platform {

namespace {

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t valueOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

// Positional I/O on a synchronous handle: the offset travels in OVERLAPPED.
OVERLAPPED overlappedAt(std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// One call moves at most 1 GiB, well inside a DWORD.
DWORD chunkOf(std::size_t length) { return length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length); }

HANDLE openWritable(const std::wstring& path, DWORD disposition, DWORD share) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Removes whatever stands at `path` when it is a link of any kind; a plain
// directory stays and fails the open that follows.
bool removeLinkEntry(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path.c_str()) != 0;
    return DeleteFileW(path.c_str()) != 0;
}

HANDLE openRegularFile(const std::wstring& path, DWORD share = FILE_SHARE_READ) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (!removeLinkEntry(path, attributes)) return INVALID_HANDLE_VALUE;
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE handle = openWritable(path, OPEN_ALWAYS, share);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    const bool plain = !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
                       info.nNumberOfLinks <= 1;
    if (plain) return handle;
    // A link made between the check and the open, or a second hard link:
    // drop this name and start a new file (CREATE_NEW never follows anything).
    CloseHandle(handle);
    if (!removeLinkEntry(path, info.dwFileAttributes)) return INVALID_HANDLE_VALUE;
    return openWritable(path, CREATE_NEW, share);
}

bool isNoSpaceError(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool setLength(HANDLE handle, std::int64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Free bytes for this user on the volume that holds the open file, asked of
// its folder (a volume mounted on a folder answers for itself); -1 when unknown.
std::int64_t freeSpaceOf(HANDLE handle) {
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= path.size()) return -1;
    path.resize(length);
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return -1;
    path.resize(slash + 1);
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return -1;
    return static_cast<std::int64_t>(available.QuadPart);
}

}  // namespace

bool File::openForWriting(const std::wstring& path) {
    close();
    m_handle = valueOf(openRegularFile(path));
    m_writable = isOpen();
    return m_writable;
}

File::Lock File::openLocked(const std::wstring& path) {
    close();
    // Only the open's own failure may read as a holder, never an older error.
    SetLastError(ERROR_SUCCESS);
    m_handle = valueOf(openRegularFile(path, 0));
    if (isOpen()) return Lock::Taken;
    return GetLastError() == ERROR_SHARING_VIOLATION ? Lock::Held : Lock::Failed;
}

bool File::holdReadOnly() {
    if (!isOpen()) return false;
    if (!m_writable) return true;
    // A reader that still lets our writer be open, then our writer closed,
    // then the final reader that shares reading only. The last open fails if
    // anybody else got a writing handle in between; the interim reader keeps
    // the file from being deleted or renamed meanwhile.
    HANDLE interim = ReOpenFile(handleOf(m_handle), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (interim == INVALID_HANDLE_VALUE) {
        close();
        return false;
    }
    close();
    HANDLE reader = ReOpenFile(interim, GENERIC_READ, FILE_SHARE_READ, 0);
    CloseHandle(interim);
    if (reader == INVALID_HANDLE_VALUE) return false;
    m_handle = valueOf(reader);
    m_writable = false;
    return true;
}

bool File::openHeld(const std::wstring& path) {
    close();
    // Reading shared with readers only: the open fails while anybody writes
    // it, and nobody may write or delete it while it is held. A running
    // program's image does not stand in the way.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = GetFileInformationByHandle(handle, &info) &&
                       !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
                       info.nNumberOfLinks <= 1;
    if (!plain) {
        CloseHandle(handle);
        return false;
    }
    m_handle = valueOf(handle);
    return true;
}

bool File::isOpen() const { return m_handle != -1; }

void File::close() {
    if (isOpen()) CloseHandle(handleOf(m_handle));
    m_handle = -1;
    m_writable = false;
}

std::int64_t File::size() const {
    LARGE_INTEGER size{};
    if (!isOpen() || !GetFileSizeEx(handleOf(m_handle), &size)) return -1;
    return size.QuadPart;
}

bool File::resize(std::int64_t length) {
    if (!m_writable || length < 0) return false;
    return setLength(handleOf(m_handle), length);
}

File::Reservation File::reserve(std::int64_t length) {
    const std::int64_t before = size();
    if (!m_writable || length < 0 || before < 0) return Reservation::Failed;
    HANDLE handle = handleOf(m_handle);
    if (length < before && !setLength(handle, length)) return Reservation::Failed;
    if (length == 0) return Reservation::Done;
    // The clusters are taken now, or the call fails for want of them. A file
    // system that does not take the call (Wine's) leaves the check below.
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = length;
    if (!SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation) &&
        isNoSpaceError(GetLastError()))
        return Reservation::NoSpace;
    if (!setLength(handle, length)) return isNoSpaceError(GetLastError()) ? Reservation::NoSpace : Reservation::Failed;
    const std::int64_t held = allocatedBytes();
    if (held < 0 || held >= length) return Reservation::Done;
    const std::int64_t available = freeSpaceOf(handle);
    if (available >= 0 && available < length - held) {
        if (length > before) setLength(handle, before);
        SetLastError(ERROR_DISK_FULL);
        return Reservation::NoSpace;
    }
    return Reservation::Done;
}

std::int64_t File::allocatedBytes() const {
    FILE_STANDARD_INFO info{};
    if (!isOpen() || !GetFileInformationByHandleEx(handleOf(m_handle), FileStandardInfo, &info, sizeof info))
        return -1;
    return info.AllocationSize.QuadPart;
}

bool File::lastFailureWasNoSpace() { return isNoSpaceError(GetLastError()); }

bool File::writeAt(std::int64_t offset, const void* data, std::size_t length) {
    if (!m_writable || offset < 0) return false;
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        OVERLAPPED at = overlappedAt(offset);
        const DWORD chunk = chunkOf(length);
        DWORD written = 0;
        if (!WriteFile(handleOf(m_handle), bytes, chunk, &written, &at) || written == 0) return false;
        bytes += written;
        offset += written;
        length -= written;
    }
    return true;
}

std::int64_t File::readAt(std::int64_t offset, void* data, std::size_t length) const {
    if (!isOpen() || offset < 0) return -1;
    char* bytes = static_cast<char*>(data);
    std::int64_t total = 0;
    while (length > 0) {
        OVERLAPPED at = overlappedAt(offset);
        const DWORD chunk = chunkOf(length);
        DWORD got = 0;
        if (!ReadFile(handleOf(m_handle), bytes, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (got == 0) break;
        bytes += got;
        offset += got;
        total += got;
        length -= got;
    }
    return total;
}

bool File::sync() { return isOpen() && FlushFileBuffers(handleOf(m_handle)) != 0; }

bool File::replaceWhole(const std::wstring& path, const std::string& bytes) {
    // A plain directory is refused, never replaced; a file or a link is.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    const std::wstring temporary = path + L".tmp";
    // The rename replaces a reparse point at `path` itself, not its target.
    if (writeWhole(temporary, bytes, true) &&
        MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    // The cause of the failure outlives the clean-up, for the caller to tell.
    const DWORD cause = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(cause);
    return false;
}

}  // namespace platform
