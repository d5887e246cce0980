// Reading and growing the attribute-certificate table of a PE image.
#include "config/pe_certificate_table.h"
#include "config/stream_read.h"

#include <array>
#include <limits>
#include <vector>

namespace {

constexpr std::int64_t kLfanewOffset = 0x3C;
constexpr std::int64_t kCoffHeaderSize = 20;
constexpr std::int64_t kSizeOfOptionalHeaderField = 16;  // within the COFF header
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::int64_t kChecksumField = 64;  // within the optional header, both kinds
constexpr std::uint32_t kSecurityDirectory = 4;
constexpr std::int64_t kEntryHeaderSize = 8;  // dwLength, wRevision, wCertificateType

std::int64_t alignUp8(std::int64_t value) { return (value + 7) / 8 * 8; }

using config::readAt;

// A little-endian field read with its bounds checked against the file.
class Fields {
public:
    Fields(std::istream& in, std::int64_t size) : m_in(in), m_size(size) {}
    bool inside(std::int64_t offset, std::int64_t length) const {
        return offset >= 0 && length >= 0 && offset <= m_size && length <= m_size - offset;
    }
    std::optional<std::uint32_t> read(std::int64_t offset, int bytes) {
        if (!inside(offset, bytes)) return std::nullopt;
        std::array<unsigned char, 4> raw{};
        if (!readAt(m_in, offset, reinterpret_cast<char*>(raw.data()), static_cast<std::size_t>(bytes))) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (int i = bytes; i-- > 0;) value = value << 8 | raw[static_cast<std::size_t>(i)];
        return value;
    }

private:
    std::istream& m_in;
    std::int64_t m_size;
};

CertificateTableScan refused(std::string problem) {
    CertificateTableScan scan;
    scan.kind = CertificateTableScan::Kind::Refused;
    scan.problem = std::move(problem);
    return scan;
}

CertificateTableScan ofKind(CertificateTableScan::Kind kind) {
    CertificateTableScan scan;
    scan.kind = kind;
    return scan;
}

}  // namespace

CertificateTableScan scanCertificateTable(std::istream& in, std::int64_t size) {
    using Kind = CertificateTableScan::Kind;
    Fields fields(in, size);
    const std::optional<std::uint32_t> mz = fields.read(0, 2);
    const std::optional<std::uint32_t> lfanew = fields.read(kLfanewOffset, 4);
    if (!mz || *mz != 0x5A4D || !lfanew) return ofKind(Kind::NotPe);
    const std::int64_t peHeader = *lfanew;
    const std::optional<std::uint32_t> signature = fields.read(peHeader, 4);
    if (!signature || *signature != 0x00004550) return ofKind(Kind::NotPe);

    const std::int64_t coff = peHeader + 4;
    const std::optional<std::uint32_t> optionalSize = fields.read(coff + kSizeOfOptionalHeaderField, 2);
    const std::int64_t optional = coff + kCoffHeaderSize;
    if (!optionalSize || !fields.inside(optional, *optionalSize)) {
        return refused("its PE headers run past the end of the file");
    }
    const std::optional<std::uint32_t> magic = *optionalSize >= 2 ? fields.read(optional, 2) : std::nullopt;
    if (!magic || (*magic != kPe32Magic && *magic != kPe32PlusMagic)) {
        return refused("its PE optional header is of no known kind");
    }
    const std::int64_t countField = *magic == kPe32Magic ? 92 : 108;
    const std::int64_t directories = countField + 4;
    if (*optionalSize < directories) return refused("its PE optional header is cut short");
    const std::uint32_t count = *fields.read(optional + countField, 4);
    const std::int64_t entry = directories + kSecurityDirectory * 8;
    // Fewer directories than the security entry: the image has no signature.
    if (count <= kSecurityDirectory) return ofKind(Kind::Unsigned);
    if (*optionalSize < entry + 8) return refused("its PE optional header is shorter than its data directories");

    CertificateTable table;
    table.checksumOffset = optional + kChecksumField;
    table.directoryOffset = optional + entry;
    const std::uint32_t tableOffset = *fields.read(table.directoryOffset, 4);
    const std::uint32_t tableSize = *fields.read(table.directoryOffset + 4, 4);
    if (tableOffset == 0 && tableSize == 0) return ofKind(Kind::Unsigned);
    if (tableOffset == 0 || tableSize == 0) {
        return refused("its certificate table entry gives an offset or a size of zero");
    }
    if (!fields.inside(tableOffset, tableSize)) return refused("its certificate table lies outside the file");
    if (static_cast<std::int64_t>(tableOffset) + tableSize != size) {
        return refused("its certificate table does not end the file (bytes follow the signature)");
    }
    if (tableOffset % 8 != 0) return refused("its certificate table does not start on a multiple of 8");
    if (tableOffset < optional + *optionalSize) return refused("its certificate table overlaps the PE headers");

    // Each entry starts on a multiple of 8; the last may leave out its padding.
    std::int64_t position = tableOffset;
    std::int64_t lastEnd = position;
    while (position < size) {
        const std::optional<std::uint32_t> length = fields.read(position, 4);
        if (!length || !fields.inside(position, kEntryHeaderSize)) {
            return refused("a certificate entry's header runs past the end of the table");
        }
        if (*length < kEntryHeaderSize) return refused("a certificate entry is shorter than its own header");
        if (!fields.inside(position, *length)) {
            return refused("a certificate entry's length runs past the end of the table");
        }
        table.lastEntryOffset = position;
        lastEnd = position + *length;
        position = alignUp8(lastEnd);
    }
    if (position != size && lastEnd != size) {
        return refused("the certificate entries' lengths do not add up to the table's size");
    }
    table.tableOffset = tableOffset;
    CertificateTableScan scan = ofKind(Kind::Signed);
    scan.table = table;
    return scan;
}

std::optional<TableGrowth> growLastEntry(const CertificateTable& table, std::int64_t tableEnd, std::int64_t keep,
                                         std::size_t appended) {
    if (keep < table.lastEntryOffset + kEntryHeaderSize || keep > tableEnd) return std::nullopt;
    constexpr std::int64_t kMaxField = std::numeric_limits<std::uint32_t>::max();
    if (appended > static_cast<std::size_t>(kMaxField)) return std::nullopt;
    const std::int64_t entryLength = alignUp8(keep + static_cast<std::int64_t>(appended) - table.lastEntryOffset);
    const std::int64_t directorySize = table.lastEntryOffset + entryLength - table.tableOffset;
    if (directorySize > kMaxField) return std::nullopt;
    TableGrowth growth;
    growth.entryLength = static_cast<std::uint32_t>(entryLength);
    growth.directorySize = static_cast<std::uint32_t>(directorySize);
    growth.padding = static_cast<std::size_t>(table.lastEntryOffset + entryLength - keep) - appended;
    return growth;
}

std::optional<std::uint32_t> peChecksum(std::istream& in, std::int64_t size, std::int64_t checksumOffset) {
    if (size < 0 || size > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    std::uint64_t sum = 0;
    std::vector<char> buffer(std::size_t{1} << 20);
    in.clear();
    in.seekg(0, std::ios::beg);
    std::int64_t position = 0;
    while (position < size) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(size - position, std::ssize(buffer)));
        in.read(buffer.data(), static_cast<std::streamsize>(piece));
        if (in.gcount() != static_cast<std::streamsize>(piece)) return std::nullopt;
        for (std::size_t i = 0; i < piece; ++i) {
            const std::int64_t at = position + static_cast<std::int64_t>(i);
            if (at >= checksumOffset && at < checksumOffset + 4) continue;
            // Bytes at even offsets are the low halves of their words
            // (pieces start at even offsets).
            const std::uint64_t byte = static_cast<unsigned char>(buffer[i]);
            sum += at % 2 == 0 ? byte : byte << 8;
        }
        // Folding after each piece keeps the sum far from overflowing.
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        position += static_cast<std::int64_t>(piece);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + static_cast<std::uint64_t>(size));
}
