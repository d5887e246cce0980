// Fuzzes the certificate-table walk of a program file, over arbitrary bytes
// and over PE headers laid out from the fuzzer's numbers (so that the table
// and its entries are reached), then changed in a few bytes.
//
// Invariants: the walk reads nothing at or past the size it is given, even
// when the stream holds more; a table it accepts starts on a multiple of 8
// after the headers, is named by the security directory entry and ends the
// file, and its last entry has a header and a length inside the file; growing
// that entry keeps it a multiple of 8 long, with less than 8 bytes of padding,
// and the directory's size in step.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>

#include "config/pe_certificate_table.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// A read-only stream buffer without a get area, so that every read passes
// through it and the furthest byte read is known.
class WatchedBuffer : public std::streambuf {
public:
    explicit WatchedBuffer(const std::string& bytes) : m_bytes(bytes) {}
    std::int64_t readEnd() const { return m_readEnd; }

protected:
    pos_type seekoff(off_type offset, std::ios::seekdir direction, std::ios::openmode) override {
        const std::int64_t base = direction == std::ios::beg ? 0 : direction == std::ios::cur ? m_position : size();
        const std::int64_t target = base + offset;
        if (target < 0 || target > size()) return pos_type(off_type(-1));
        m_position = target;
        return pos_type(target);
    }
    pos_type seekpos(pos_type position, std::ios::openmode which) override {
        return seekoff(off_type(position), std::ios::beg, which);
    }
    std::streamsize xsgetn(char* out, std::streamsize count) override {
        const std::int64_t n = std::min<std::int64_t>(count, size() - m_position);
        std::memcpy(out, m_bytes.data() + m_position, static_cast<std::size_t>(n));
        m_position += n;
        m_readEnd = std::max(m_readEnd, m_position);
        return n;
    }
    int_type underflow() override {
        return m_position < size() ? traits_type::to_int_type(m_bytes[static_cast<std::size_t>(m_position)])
                                   : traits_type::eof();
    }
    int_type uflow() override {
        const int_type next = underflow();
        if (next != traits_type::eof()) m_readEnd = std::max(m_readEnd, ++m_position);
        return next;
    }

private:
    std::int64_t size() const { return static_cast<std::int64_t>(m_bytes.size()); }
    const std::string& m_bytes;
    std::int64_t m_position = 0;
    std::int64_t m_readEnd = 0;
};

std::uint32_t field(const std::string& bytes, std::int64_t offset) {
    std::uint32_t value = 0;
    for (int i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(offset + i)]);
    return value;
}

void putField(std::string& bytes, std::size_t offset, std::uint32_t value, int width) {
    if (offset + static_cast<std::size_t>(width) > bytes.size()) bytes.resize(offset + static_cast<std::size_t>(width));
    for (int i = 0; i < width; ++i) bytes[offset + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

std::int64_t alignUp8(std::int64_t value) { return (value + 7) / 8 * 8; }

// A PE image whose sizes, offsets and entries come from the fuzzer, mostly
// well formed, then changed in up to four bytes.
std::string laidOutImage(FuzzedDataProvider& data) {
    std::string image;
    const auto lfanew = data.ConsumeIntegralInRange<std::uint32_t>(0x40, 0x100);
    putField(image, 0, 0x5A4D, 2);
    putField(image, 0x3C, lfanew, 4);
    putField(image, lfanew, 0x00004550, 4);
    const bool plus = data.ConsumeBool();
    const std::uint32_t wanted = plus ? 108 + 4 + 16 * 8 : 92 + 4 + 16 * 8;
    const std::uint32_t optionalSize =
        data.ConsumeBool() ? wanted : data.ConsumeIntegralInRange<std::uint32_t>(0, wanted + 16);
    putField(image, lfanew + 4 + 16, optionalSize, 2);
    const std::size_t optional = lfanew + 24;
    putField(image, optional, plus ? 0x20B : 0x10B, 2);
    putField(image, optional + (plus ? 108 : 92), data.ConsumeIntegralInRange<std::uint32_t>(0, 16), 4);
    image.resize(optional + optionalSize);

    const std::int64_t tableOffset = alignUp8(static_cast<std::int64_t>(image.size())) +
                                     (data.ConsumeBool() ? 0 : data.ConsumeIntegralInRange<std::int64_t>(-8, 24));
    if (tableOffset > static_cast<std::int64_t>(image.size())) image.resize(static_cast<std::size_t>(tableOffset));
    std::int64_t position = tableOffset;
    const auto entries = data.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < entries; ++i) {
        const auto length = data.ConsumeIntegralInRange<std::uint32_t>(0, 64);
        putField(image, static_cast<std::size_t>(position), length, 4);
        image.resize(static_cast<std::size_t>(position + std::max<std::uint32_t>(length, 8)));
        position += std::max<std::uint32_t>(length, 8);
        // The last entry may leave out its padding.
        if (i + 1 < entries || data.ConsumeBool()) position = alignUp8(position);
        image.resize(static_cast<std::size_t>(position));
    }
    const std::int64_t tableSize = position - tableOffset + (data.ConsumeBool() ? 0 : data.ConsumeIntegralInRange<std::int64_t>(-2, 2));
    const std::size_t directory = optional + (plus ? 112 : 96) + 4 * 8;
    if (directory + 8 <= optional + optionalSize) {
        putField(image, directory, static_cast<std::uint32_t>(tableOffset), 4);
        putField(image, directory + 4, static_cast<std::uint32_t>(tableSize), 4);
    }
    for (int i = data.ConsumeIntegralInRange<int>(0, 4); i > 0 && !image.empty(); --i) {
        image[data.ConsumeIntegralInRange<std::size_t>(0, image.size() - 1)] = static_cast<char>(data.ConsumeIntegral<std::uint8_t>());
    }
    return image;
}

void checkImage(const std::string& image, FuzzedDataProvider& data) {
    const auto size = static_cast<std::int64_t>(image.size());
    // Bytes after the given size that the walk must never look at.
    const std::string stream = image + std::string(64, '\xA5');
    WatchedBuffer buffer(stream);
    std::istream in(&buffer);
    const CertificateTableScan scan = scanCertificateTable(in, size);
    check(buffer.readEnd() <= size, "the walk reads nothing past the given size");
    if (scan.kind == CertificateTableScan::Kind::Refused) check(!scan.problem.empty(), "a refusal says why");
    if (scan.kind != CertificateTableScan::Kind::Signed) return;

    const CertificateTable& table = scan.table;
    check(table.checksumOffset >= 0 && table.checksumOffset + 4 <= table.directoryOffset, "checksum inside the headers");
    check(table.directoryOffset + 8 <= table.tableOffset, "the directory entry before the table");
    check(table.tableOffset % 8 == 0 && table.tableOffset < size, "the table starts on a multiple of 8 in the file");
    check(field(image, table.directoryOffset) == table.tableOffset, "the directory names the table");
    check(table.tableOffset + field(image, table.directoryOffset + 4) == size, "the table ends the file");
    check(table.lastEntryOffset >= table.tableOffset && table.lastEntryOffset % 8 == 0 &&
              table.lastEntryOffset + 8 <= size,
          "the last entry's header inside the table");
    const std::uint32_t lastLength = field(image, table.lastEntryOffset);
    check(lastLength >= 8 && table.lastEntryOffset + lastLength <= size, "the last entry inside the file");
    check(alignUp8(table.lastEntryOffset + lastLength) >= size, "nothing but padding after the last entry");

    const std::int64_t keep = data.ConsumeIntegralInRange<std::int64_t>(table.lastEntryOffset, size + 1);
    const auto appended = data.ConsumeIntegralInRange<std::size_t>(0, 300);
    const std::optional<TableGrowth> growth = growLastEntry(table, size, keep, appended);
    check(growth.has_value() == (keep >= table.lastEntryOffset + 8 && keep <= size), "grows from inside the entry");
    if (!growth) return;
    check(growth->entryLength % 8 == 0 && growth->padding < 8, "the grown entry a multiple of 8 long");
    check(table.lastEntryOffset + growth->entryLength ==
              keep + static_cast<std::int64_t>(appended) + static_cast<std::int64_t>(growth->padding),
          "the grown entry holds the kept and appended bytes and the padding");
    check(table.tableOffset + growth->directorySize == table.lastEntryOffset + growth->entryLength,
          "the directory size in step with the grown entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    checkImage(std::string(reinterpret_cast<const char*>(bytes), size), data);
    const std::string image = laidOutImage(data);
    checkImage(image, data);
    return 0;
}
