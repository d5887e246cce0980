// The smallest Windows x64 program image the signing tools accept (headers,
// one section holding "ret"), and attribute-certificate tables built by hand,
// for the tests of stamping signed programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr std::size_t kPeOptionalHeader = 0x58;
inline constexpr std::size_t kPeChecksumField = kPeOptionalHeader + 64;
inline constexpr std::size_t kPeSecurityEntry = kPeOptionalHeader + 112 + 4 * 8;

inline void putLe(std::string& bytes, std::size_t offset, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[offset + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

inline std::uint32_t getLe32(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes.at(offset + static_cast<std::size_t>(i)));
    return value;
}

// 0x400 bytes: DOS header, PE32+ headers with 16 data directories, .text.
inline std::string minimalPeImage() {
    std::string image(0x400, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    putLe(image, 0x3C, 0x40, 4);
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    putLe(image, 0x44, 0x8664, 2);                   // x64
    putLe(image, 0x46, 1, 2);                        // one section
    putLe(image, 0x54, 0xF0, 2);                     // optional header size
    putLe(image, 0x56, 0x22, 2);                     // executable, large addresses
    const std::size_t o = kPeOptionalHeader;
    putLe(image, o, 0x20B, 2);                       // PE32+
    putLe(image, o + 16, 0x1000, 4);                 // entry point
    putLe(image, o + 24, 0x140000000, 8);            // image base
    putLe(image, o + 32, 0x1000, 4);                 // section alignment
    putLe(image, o + 36, 0x200, 4);                  // file alignment
    putLe(image, o + 40, 6, 2);                      // OS version
    putLe(image, o + 48, 6, 2);                      // subsystem version
    putLe(image, o + 56, 0x2000, 4);                 // image size
    putLe(image, o + 60, 0x200, 4);                  // header size
    putLe(image, o + 68, 2, 2);                      // GUI
    putLe(image, o + 108, 16, 4);                    // data directories
    const std::size_t section = o + 0xF0;
    image.replace(section, 5, ".text");
    putLe(image, section + 8, 0x200, 4);             // virtual size
    putLe(image, section + 12, 0x1000, 4);           // virtual address
    putLe(image, section + 16, 0x200, 4);            // raw size
    putLe(image, section + 20, 0x200, 4);            // raw offset
    putLe(image, section + 36, 0x60000020, 4);       // code, execute, read
    image[0x200] = '\xC3';
    return image;
}

// `image` with a certificate table of the given entries' data appended (each
// entry padded to a multiple of 8, except the last when `padLast` is false)
// and the security directory pointing at it.
inline std::string withCertificateTable(std::string image, const std::vector<std::string>& entries,
                                        bool padLast = true) {
    const std::size_t table = image.size();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string entry(8, '\0');
        putLe(entry, 0, 8 + entries[i].size(), 4);
        putLe(entry, 4, 0x0200, 2);  // WIN_CERT_REVISION_2_0
        putLe(entry, 6, 0x0002, 2);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
        entry += entries[i];
        if (padLast || i + 1 < entries.size()) entry.resize((entry.size() + 7) / 8 * 8, '\0');
        image += entry;
    }
    putLe(image, kPeSecurityEntry, table, 4);
    putLe(image, kPeSecurityEntry + 4, image.size() - table, 4);
    return image;
}

}  // namespace testsupport
