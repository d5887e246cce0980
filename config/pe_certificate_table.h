// The attribute-certificate table of a Windows program (the Authenticode
// signature's home): finding it from the PE headers, checking that it is
// well formed and ends the file, growing its last entry, and the PE image
// checksum. The input is untrusted: every offset is checked against the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>

// Where the pieces of a signed program lie (file offsets).
struct CertificateTable {
    std::int64_t checksumOffset = 0;   // the optional header's CheckSum
    std::int64_t directoryOffset = 0;  // the security data directory entry: table offset, then size
    std::int64_t tableOffset = 0;      // the first WIN_CERTIFICATE; the table ends at the end of the file
    std::int64_t lastEntryOffset = 0;  // the last WIN_CERTIFICATE (dwLength, wRevision, wCertificateType, data)
};

struct CertificateTableScan {
    enum class Kind {
        NotPe,     // no "MZ" header leading to a "PE\0\0" signature: plain bytes
        Unsigned,  // a PE image without a certificate table
        Signed,    // a PE image whose certificate table ends the file
        Refused,   // a PE image whose headers or table cannot be trusted; `problem` says why
    };
    Kind kind = Kind::NotPe;
    CertificateTable table;  // Signed only
    std::string problem;     // Refused only
};

// Reads the headers and walks the table's entries (each dwLength at least 8,
// the next entry at the next multiple of 8) of a stream of `size` bytes.
CertificateTableScan scanCertificateTable(std::istream& in, std::int64_t size);

// The new sizes after the last entry's bytes from file offset `keep` on are
// replaced by `appended` bytes plus zero padding up to a multiple of 8
// (counted from the entry, which starts on a multiple of 8); `tableEnd` is
// where the table ends now.
struct TableGrowth {
    std::uint32_t entryLength = 0;    // the last entry's new dwLength
    std::uint32_t directorySize = 0;  // the security data directory's new size
    std::size_t padding = 0;          // zero bytes after the appended ones
};
// Nothing when the sizes would not fit their 32-bit fields or `keep` lies
// outside the last entry's data.
std::optional<TableGrowth> growLastEntry(const CertificateTable& table, std::int64_t tableEnd, std::int64_t keep,
                                         std::size_t appended);

// The PE image checksum of a stream of `size` bytes: the 16-bit words summed
// with end-around carry, the four CheckSum bytes at `checksumOffset` counted as
// zero, then the file's length added. Nothing when the stream cannot be read.
std::optional<std::uint32_t> peChecksum(std::istream& in, std::int64_t size, std::int64_t checksumOffset);
