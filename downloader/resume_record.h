// The record that vouches for a resume state: which file version its bytes
// belong to, which state it was written with, and, once the download is
// complete, what the finished file hashed to. Where it is kept is pluggable:
// a file beside the state by default; the Windows program may keep it where
// only elevated processes can write.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// Three lines, no line break at the end: the file version (may be empty),
// the SHA-256 of the resume state saved with it, and the SHA-256 of the
// finished file (only once the download is complete). Hashes are 64
// lower-case hex digits.
struct ResumeRecord {
    std::string validator;
    std::string stateDigest;
    std::string fileDigest;  // empty while the download is not complete

    std::string text() const;
    // Exactly text()'s layout with well-formed digests; *this unchanged on false.
    bool parse(const std::string& text);
};

class ResumeRecordStore {
public:
    virtual ~ResumeRecordStore() = default;
    // The record's text; false when there is none or it cannot be read.
    virtual bool load(std::string& text) = 0;
    // Replaces the record so that a crash leaves the old or the new one whole.
    virtual bool store(const std::string& text) = 0;
    // Afterwards load() finds none; false when it may still be there.
    virtual bool erase() = 0;
};

// The record as a plain file (segfetch, the native build, and the default).
class FileResumeRecordStore : public ResumeRecordStore {
public:
    explicit FileResumeRecordStore(std::wstring path) : m_path(std::move(path)) {}
    bool load(std::string& text) override;
    bool store(const std::string& text) override;
    bool erase() override;

private:
    std::wstring m_path;
};

// The whole content of a plain file (no link) of at most `maxBytes`, or false.
bool readPlainFile(const std::wstring& path, std::string& bytes, std::uintmax_t maxBytes);
