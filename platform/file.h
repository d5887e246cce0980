// An open file for positional reads and writes, as the engine keeps its
// destination and resume-state files: nobody else may change or delete it
// while we write it, and a path that leads elsewhere (a link) is never
// written through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path` for reading and writing, creating an empty file when there
    // is none and keeping the bytes of an existing regular file. While it is
    // open no other process may open it for writing or delete it (on Windows:
    // shared for reading only; Linux has no mandatory sharing modes). A path
    // that is a symbolic link, a junction or another reparse point, or a file
    // with more than one hard link, is removed and replaced by a fresh empty
    // file, so bytes never reach a file somewhere else. A directory is refused.
    bool openForWriting(const std::wstring& path);

    // Reopens the file for reading only while still keeping others from
    // writing or deleting it: what is started later is what was written.
    // Returns false (and closes the file) when another process holds it open
    // for writing at the switch.
    bool holdReadOnly();

    // Opens an existing plain file (no link, one hard link) for reading only,
    // held as holdReadOnly() holds it; false when it cannot be held (another
    // process writes it, or it is no plain file). Works while the file runs
    // as a program.
    bool openHeld(const std::wstring& path);

    // What openLocked found.
    enum class Lock { Taken, Held, Failed };
    // Opens `path` (created empty when missing, with the link rules of
    // openForWriting) and keeps it as the only open of that file until it is
    // closed: on Windows shared with nobody, on Linux under an exclusive
    // flock. Held: another open has it; Failed: it could not be opened for
    // another reason. Nothing is ever written to it.
    Lock openLocked(const std::wstring& path);

    bool isOpen() const;
    bool isWritable() const { return m_writable; }
    // The file descriptor (Linux) or HANDLE (Windows); -1 when closed. For
    // system calls that read the open file, never to be closed by the caller.
    std::intptr_t nativeHandle() const { return m_handle; }
    void close();

    // -1 when the size cannot be read.
    std::int64_t size() const;
    // Sets the file's length; bytes past the old end read as zero. No space
    // is reserved for them (see reserve).
    bool resize(std::int64_t length);

    // What reserve found.
    enum class Reservation { Done, NoSpace, Failed };
    // Sets the file's length to `length` with every byte of it backed by the
    // drive, the bytes held already kept and holes filled, so that no later
    // write within it can fail for lack of space. NoSpace: the drive cannot
    // hold it (the length then stays as it was). Where the file system cannot
    // allocate ahead, its free space is compared instead.
    Reservation reserve(std::int64_t length);
    // Bytes the drive holds for the file (less than size() for a sparse
    // one); -1 when unknown.
    std::int64_t allocatedBytes() const;

    // Whole-range positional writes and reads; each call may run on any
    // thread while other calls touch other ranges. readAt returns the bytes
    // read (fewer at the end of the file), -1 on failure.
    bool writeAt(std::int64_t offset, const void* data, std::size_t length);
    std::int64_t readAt(std::int64_t offset, void* data, std::size_t length) const;

    // Makes every written byte durable (fsync / FlushFileBuffers).
    bool sync();

    // Writes `bytes` as the whole content of `path`, with the same link rules
    // as openForWriting; `durable` also syncs it before returning.
    static bool writeWhole(const std::wstring& path, const std::string& bytes, bool durable = false);

    // Replaces `path` by a file holding `bytes` so that a crash at any moment
    // leaves either the old content or the new one, never a mix: the bytes go
    // durably to "<path>.tmp" in the same folder, which is then renamed over
    // `path` (a link at `path` is replaced, never written through).
    static bool replaceWhole(const std::wstring& path, const std::string& bytes);

    // Whether the last failed call of this thread (a write, a save through
    // writeWhole or replaceWhole) failed for lack of space on the drive.
    static bool lastFailureWasNoSpace();

private:
    // A file descriptor on Linux, a HANDLE on Windows; -1 when closed.
    std::intptr_t m_handle = -1;
    bool m_writable = false;
};

}  // namespace platform
