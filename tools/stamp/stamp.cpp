// stamp: writes the payload block a distributor appends to a copy of the
// program, and shows the block a copy carries exactly as the program reads it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "config/catalog.h"
#include "config/payload.h"
#include "config/pe_certificate_table.h"
#include "config/stamp_block.h"
#include "platform/arguments.h"
#include "platform/system.h"
#include "platform/text.h"
#ifdef VORLANE_STAMP_SEALS
#include "tools/stamp/seal_key.h"
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage:\n"
    "  stamp [--replace] [--key PRIVATE.pem [--product ID]] FILE KEY=VALUE...\n"
    "      Appends one payload block to FILE: the items in the order given, each\n"
    "      value form-encoded (non-ASCII text stays UTF-8). FILE is rewritten\n"
    "      through a temporary file, so it is either stamped or left as it was.\n"
    "      A FILE that already ends in a payload block is refused unless\n"
    "      --replace is given, which swaps that block for the new one.\n"
    "      A signed program (its certificate table ends the file) keeps its\n"
    "      signature: the block goes inside the table's last entry. A program\n"
    "      whose table does not end the file or does not add up is refused.\n"
    "      --key seals the block for a program built with the matching\n"
    "      PAYLOAD_PUBLIC_KEY: an ECDSA P-256 private key in PEM (an encrypted\n"
    "      one takes its passphrase from STAMP_KEY_PASSPHRASE), the seal made for\n"
    "      the product ID (default: the product of this build). The key \"seal\"\n"
    "      is the seal's own.\n"
    "  stamp --show FILE\n"
    "      Prints the block the program would read from FILE, one key=value line\n"
    "      per item in the program's key order, values decoded as the program\n"
    "      decodes them. Prints nothing when FILE has no block.\n"
    "  stamp --help\n";

struct Failure {
    std::string message;
    int exitCode = kExitFailure;
};

fs::path pathOfArgument(const std::string& utf8) { return platform::nativePath(platform::fromUtf8(utf8)); }

std::string displayPath(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path existingRegularFile(const std::string& argument) {
    const fs::path given = pathOfArgument(argument);
    std::error_code error;
    const fs::file_status status = fs::status(given, error);
    if (error || !fs::exists(status)) throw Failure{argument + ": no such file"};
    if (!fs::is_regular_file(status)) throw Failure{argument + ": not a regular file"};
    // Stamp what a link points at rather than replacing the link with a copy.
    const fs::path resolved = fs::canonical(given, error);
    return error ? given : resolved;
}

std::int64_t fileSize(const fs::path& file, const std::string& argument) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error) throw Failure{argument + ": cannot read its size: " + error.message()};
    return static_cast<std::int64_t>(size);
}

// A temporary file next to the target, so that the final rename stays on one
// file system and replaces the target in one step. Removed unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) {
        std::random_device entropy;
        std::mt19937_64 generator((std::uint64_t{entropy()} << 32) ^ entropy());
        for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
            const std::string suffix = ".stamp-" + std::to_string(generator()) + ".tmp";
            fs::path candidate = target;
            candidate += platform::nativePath(platform::fromUtf8(suffix));
            std::error_code error;
            if (!fs::exists(candidate, error) && !error) m_path = candidate;
        }
        if (m_path.empty()) throw Failure{"cannot choose a temporary file next to " + displayPath(target)};
    }
    ~TemporaryFile() {
        if (!m_kept) {
            std::error_code error;
            fs::remove(m_path, error);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const fs::path& path() const { return m_path; }
    void keep() { m_kept = true; }

private:
    fs::path m_path;
    bool m_kept = false;
};

void copyPrefix(std::ifstream& in, std::ofstream& out, std::int64_t length) {
    std::vector<char> buffer(std::size_t{1} << 20);
    in.clear();
    in.seekg(0, std::ios::beg);
    while (length > 0) {
        const auto piece = static_cast<std::streamsize>(std::min<std::int64_t>(length, std::ssize(buffer)));
        in.read(buffer.data(), piece);
        if (in.gcount() != piece) throw Failure{"reading the file failed"};
        out.write(buffer.data(), piece);
        if (!out) throw Failure{"writing the temporary file failed"};
        length -= piece;
    }
}

std::vector<StampItem> parseItems(const std::vector<std::string>& arguments) {
    std::vector<StampItem> items;
    for (const std::string& argument : arguments) {
        const std::size_t equals = argument.find('=');
        if (equals == std::string::npos) throw Failure{"'" + argument + "' is not KEY=VALUE", kExitUsage};
        StampItem item{argument.substr(0, equals), argument.substr(equals + 1)};
        if (std::string problem = stampKeyProblem(item.key); !problem.empty()) {
            throw Failure{"'" + argument + "': " + problem};
        }
        if (std::string problem = stampValueProblem(item.value); !problem.empty()) {
            throw Failure{"key '" + item.key + "': " + problem};
        }
        items.push_back(std::move(item));
    }
    return items;
}

void writeLittleEndian32(std::fstream& file, std::int64_t offset, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    file.seekp(offset, std::ios::beg);
    file.write(bytes, 4);
    file.flush();
    if (!file) throw Failure{"writing the temporary file failed"};
}

// A signed program keeps its signature when the block becomes the last bytes
// of its last certificate entry: the signature's hash never covers the
// certificate table, only the entry's and the table's sizes and the image
// checksum change, and those three fields are outside the hash as well.
void growCertificateTable(const fs::path& temporary, const CertificateTable& table, const TableGrowth& growth) {
    std::fstream file(temporary, std::ios::binary | std::ios::in | std::ios::out);
    if (!file) throw Failure{"cannot reopen " + displayPath(temporary)};
    writeLittleEndian32(file, table.lastEntryOffset, growth.entryLength);
    writeLittleEndian32(file, table.directoryOffset + 4, growth.directorySize);
    const std::int64_t size = table.tableOffset + growth.directorySize;
    const std::optional<std::uint32_t> checksum = peChecksum(file, size, table.checksumOffset);
    if (!checksum) throw Failure{"reading back " + displayPath(temporary) + " failed"};
    file.clear();
    writeLittleEndian32(file, table.checksumOffset, *checksum);
}

struct StampOptions {
    bool replace = false;
    std::optional<std::string> key;  // the sealing key's PEM file
    std::string product = buildProductId();
};

// The block for `items`, sealed when a key was given.
std::string blockFor(const std::vector<StampItem>& items, const StampOptions& options) {
    if (!options.key) return buildPayloadBlock(items);
#ifdef VORLANE_STAMP_SEALS
    const char* passphrase = std::getenv("STAMP_KEY_PASSPHRASE");
    const std::string given = passphrase ? passphrase : "";
    try {
        const SealKey key(pathOfArgument(*options.key), passphrase ? &given : nullptr);
        return buildSealedPayloadBlock(items, lowerCaseProductId(options.product),
                                       [&key](std::string_view message) { return key.sign(message); });
    } catch (const std::runtime_error& error) {
        throw Failure{error.what()};
    }
#else
    throw Failure{"this stamp tool does not seal (it has no OpenSSL): seal with the stamp tool of a Linux build",
                  kExitUsage};
#endif
}

int stampFile(const std::string& fileArgument, const std::vector<std::string>& itemArguments,
              const StampOptions& options) {
    const bool replace = options.replace;
    // Every argument is checked before the file is touched, the key included.
    const std::vector<StampItem> items = parseItems(itemArguments);
    const fs::path file = existingRegularFile(fileArgument);
    const std::int64_t size = fileSize(file, fileArgument);

    std::ifstream in(file, std::ios::binary);
    if (!in) throw Failure{fileArgument + ": cannot be opened for reading"};
    const CertificateTableScan scan = scanCertificateTable(in, size);
    if (scan.kind == CertificateTableScan::Kind::Refused) {
        throw Failure{fileArgument + ": not stamped, " + scan.problem};
    }
    const bool isSigned = scan.kind == CertificateTableScan::Kind::Signed;
    const std::int64_t found =
        findTrailingPayloadBlock(in, size, std::size_t{1} << 20, isSigned ? kSignedBlockTrailingZeros : 1)
            .value_or(size);
    // Inside a table only the last entry's data can hold our block.
    const bool hasBlock = found < size && (!isSigned || found >= scan.table.lastEntryOffset + 8);
    if (hasBlock && !replace) {
        throw Failure{fileArgument + ": already ends in a payload block (use --replace to swap it)"};
    }
    const std::int64_t keep = hasBlock ? found : size;
    const std::string bytes = blockFor(items, options);
    std::optional<TableGrowth> growth;
    if (isSigned) {
        growth = growLastEntry(scan.table, size, keep, bytes.size());
        if (!growth) throw Failure{fileArgument + ": not stamped, its certificate table cannot grow by the block"};
    }

    TemporaryFile temporary(file);
    {
        std::ofstream out(temporary.path(), std::ios::binary | std::ios::trunc);
        if (!out) throw Failure{"cannot create " + displayPath(temporary.path())};
        copyPrefix(in, out, keep);
        out.write(bytes.data(), std::ssize(bytes));
        if (growth) out.write(std::string(growth->padding, '\0').data(), static_cast<std::streamsize>(growth->padding));
        out.close();
        if (!out) throw Failure{"writing " + displayPath(temporary.path()) + " failed"};
    }
    in.close();
    if (growth) growCertificateTable(temporary.path(), scan.table, *growth);

    std::error_code error;
    const fs::perms mode = fs::status(file, error).permissions();
    if (!error) fs::permissions(temporary.path(), mode, fs::perm_options::replace, error);
    if (error) throw Failure{"cannot give the temporary file the mode of " + fileArgument + ": " + error.message()};
    fs::rename(temporary.path(), file, error);
    if (error) throw Failure{"cannot replace " + fileArgument + ": " + error.message()};
    temporary.keep();
    return 0;
}

int showFile(const std::string& fileArgument) {
    existingRegularFile(fileArgument);
    const PayloadMap payload = readPayloadFromFile(platform::fromUtf8(fileArgument));
    for (const auto& [key, value] : payload) {
        // Keys reach the installer decoded from UTF-8 only, values through
        // percentDecode as well.
        std::cout << platform::toUtf8(platform::fromUtf8(key)) << '=' << platform::toUtf8(decodePayloadValue(value))
                  << '\n';
    }
    std::cout.flush();
    if (!std::cout) throw Failure{"writing to standard output failed"};
    return 0;
}

int run(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) throw Failure{"missing arguments", kExitUsage};
    const std::string& first = arguments[1];
    if (first == "--help" || first == "-h") {
        std::cout << kUsage;
        return 0;
    }
    if (first == "--show") {
        if (arguments.size() != 3) throw Failure{"--show takes exactly one FILE", kExitUsage};
        return showFile(arguments[2]);
    }
    std::size_t next = 1;
    StampOptions options;
    bool productGiven = false;
    for (; next < arguments.size() && arguments[next].rfind("--", 0) == 0; ++next) {
        const std::string& option = arguments[next];
        if (option == "--replace") {
            options.replace = true;
            continue;
        }
        if (option != "--key" && option != "--product") throw Failure{"unknown option " + option, kExitUsage};
        if (++next >= arguments.size()) throw Failure{option + " takes a value", kExitUsage};
        if (option == "--key") options.key = arguments[next];
        if (option == "--product") {
            options.product = arguments[next];
            productGiven = true;
        }
    }
    if (productGiven && !options.key) throw Failure{"--product only goes with --key", kExitUsage};
    if (next >= arguments.size()) throw Failure{"missing FILE", kExitUsage};
    const std::string& file = arguments[next];
    return stampFile(file, {arguments.begin() + static_cast<std::ptrdiff_t>(next) + 1, arguments.end()}, options);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(platform::commandLineArguments(argc, argv));
    } catch (const Failure& failure) {
        std::cerr << "stamp: " << failure.message << '\n';
        if (failure.exitCode == kExitUsage) std::cerr << kUsage;
        return failure.exitCode;
    } catch (const std::exception& error) {
        std::cerr << "stamp: " << error.what() << '\n';
        return kExitFailure;
    }
}
