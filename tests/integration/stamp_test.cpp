// The stamp tool as distributors run it: stamping, reading back through the
// program's reader, refusals that leave the file alone, --replace, --show and
// files beyond the examined tail.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "config/payload.h"
#include "config/payload_seal.h"
#include "platform/text.h"
#include "tests/support/pe_image.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testsupport::ProcessResult;
using testsupport::TempDir;

constexpr std::chrono::seconds kTimeout{60};

ProcessResult stamp(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), testsupport::toolPath("stamp").string());
    return testsupport::runProcess(arguments, kTimeout);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
}

std::wstring wide(const fs::path& path) { return platform::fromUtf8(path.string()); }

std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Something shaped like the product: a header, the reader's own marker text in
// its data, zero padding.
const std::string kProgram = "MZ\x90\0\x03\0\0\0PE\0\0"s + std::string(300, '\0') + "PayloadInfo:\0%ls: %i%%\0"s +
                             std::string(500, '\xCC') + "\0\0\0"s;

struct Setting {
    std::string key;
    std::string value;
};

std::vector<std::string> argumentsOf(const std::vector<Setting>& settings) {
    std::vector<std::string> arguments;
    for (const Setting& setting : settings) arguments.push_back(setting.key + "=" + setting.value);
    return arguments;
}

TEST(Stamp, TypicalAndHostileValuesReadBackExactly) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    writeFile(file, kProgram);
    const std::vector<Setting> settings = {
        {"vid", "15"},
        {"offerUrl", "https://offer.example/p?a=1&b=x%20y#top"},
        {"installUrl", "https://i.example/install?x=\"q\"&y='s'"},
        {"uninstallUrl", "https://u.example/un install;v=2"},
        {"ap", "13"},
        {"semicolons", ";;;"},
        {"percents", "%41%%4"},
        {"pluses", "a+b++"},
        {"equals", "=a=b="},
        {"spaces", "  two  spaces  "},
        {"marker", "PayloadInfo:vid=99;"},
        {"controls", "tab\tline\nreturn\r"},
        {"utf8", "Привет, мир — \xF0\x9F\x98\x80 ёЁ"},
        {"empty", ""},
        {"big", std::string(10 * 1024, 'x') + ";%+=\"" + std::string(10 * 1024, 'y')},
        {"VID", "7"},
    };
    const ProcessResult result = stamp([&] {
        std::vector<std::string> arguments{file.string()};
        for (std::string& argument : argumentsOf(settings)) arguments.push_back(std::move(argument));
        return arguments;
    }());
    ASSERT_EQ(result.exitCode, 0) << result.err;

    PayloadMap payload = readPayloadFromFile(wide(file));
    ASSERT_EQ(payload.size(), settings.size());
    for (const Setting& setting : settings) {
        // Control characters are stamped, but the program drops them on reading.
        const std::wstring expected = setting.key == "controls" ? L"tablinereturn" : platform::fromUtf8(setting.value);
        EXPECT_EQ(takeSetting(payload, setting.key), expected) << setting.key;
    }
    // The program's file is untouched up to the block.
    EXPECT_EQ(testsupport::readFileBytes(file).substr(0, kProgram.size()), kProgram);
}

TEST(Stamp, ShowPrintsTheProgramsViewInKeyOrder) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    writeFile(file, kProgram);
    ASSERT_EQ(stamp({file.string(), "vid=15", "offerUrl=https://o.example/?q=a b", "ap=13", "Z=Ж;%", "a=1+1"}).exitCode,
              0);
    const ProcessResult shown = stamp({"--show", file.string()});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out, "Z=Ж;%\na=1+1\nap=13\nofferUrl=https://o.example/?q=a b\nvid=15\n");

    // A hand-made block is shown as the program decodes it, not as written.
    writeFile(file, kProgram + "PayloadInfo:k=a+b%41%e9;\xFF=1;\0"s);
    const ProcessResult decoded = stamp({"--show", file.string()});
    EXPECT_EQ(decoded.exitCode, 0) << decoded.err;
    // Order is that of the raw keys; the key "\xFF" reaches the installer empty.
    EXPECT_EQ(decoded.out, "k=a bA\xC3\xA9\n=1\n");
}

TEST(Stamp, ShowOfAnUnstampedFileIsEmpty) {
    TempDir dir;
    writeFile(dir / "setup.exe", kProgram);
    const ProcessResult shown = stamp({"--show", (dir / "setup.exe").string()});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out, "");
    EXPECT_NE(stamp({"--show", (dir / "missing.exe").string()}).exitCode, 0);
}

struct Refusal {
    const char* name;
    std::string initial;             // the file's bytes before the run
    std::vector<std::string> after;  // arguments after the file name
    std::string reason;              // part of the message on stderr
};

class StampRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(StampRefusalTest, LeavesTheFileByteIdentical) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    writeFile(file, GetParam().initial);
    std::vector<std::string> arguments{file.string()};
    arguments.insert(arguments.end(), GetParam().after.begin(), GetParam().after.end());
    const ProcessResult result = stamp(arguments);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.err.find(GetParam().reason), std::string::npos) << result.err;
    EXPECT_EQ(testsupport::readFileBytes(file), GetParam().initial);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"setup.exe"});
}

const std::string kStamped = kProgram + "PayloadInfo:vid=15;ap=13;\0"s;

// Signed-looking programs with one certificate entry of 100 bytes, and the
// same with one field changed.
const std::string kSigned = testsupport::withCertificateTable(testsupport::minimalPeImage(), {std::string(100, '0')});

std::string patched(std::string bytes, std::size_t offset, std::uint64_t value, int width = 4) {
    testsupport::putLe(bytes, offset, value, width);
    return bytes;
}

const std::size_t kTableSizeField = testsupport::kPeSecurityEntry + 4;

INSTANTIATE_TEST_SUITE_P(
    Arguments, StampRefusalTest,
    testing::Values(
        Refusal{"EmptyKey", kProgram, {"vid=15", "=1"}, "key is empty"},
        Refusal{"KeyWithSemicolon", kProgram, {"a;b=1"}, "\";\""},
        Refusal{"KeyHoldingTheMarker", kProgram, {"xPayloadInfo:y=1"}, "marker"},
        Refusal{"KeyWithNewline", kProgram, {"a\nb=1"}, "control"},
        Refusal{"ValueNotUtf8", kProgram, {"vid=15", "k=\xC3("}, "not valid UTF-8"},
        Refusal{"KeyNotUtf8", kProgram, {"\xFF=1"}, "not valid UTF-8"},
        Refusal{"NotKeyValue", kProgram, {"vid"}, "not KEY=VALUE"},
        Refusal{"AlreadyStamped", kStamped, {"vid=16"}, "already ends in a payload block"},
        Refusal{"AlreadyStampedByHand", kProgram + "PayloadInfo:a=1;", {"vid=16"}, "already ends in a payload block"},
        Refusal{"SignedThenAppended", kSigned + "x", {"vid=1"}, "does not end the file"},
        Refusal{"SignedThenStampedByAnAppend", kSigned + "PayloadInfo:vid=15;\0"s, {"--replace", "vid=1"},
                "does not end the file"},
        Refusal{"PeHeadersCut", testsupport::minimalPeImage().substr(0, 0x80), {"vid=1"}, "run past the end"},
        Refusal{"UnknownOptionalHeader", patched(kSigned, testsupport::kPeOptionalHeader, 0x30B, 2), {"vid=1"},
                "no known kind"},
        Refusal{"OptionalHeaderCut", patched(kSigned, 0x54, 0x60, 2), {"vid=1"}, "cut short"},
        Refusal{"DirectoriesBeyondOptionalHeader", patched(kSigned, 0x54, 0x80, 2), {"vid=1"},
                "shorter than its data directories"},
        Refusal{"TableSizeZero", patched(kSigned, kTableSizeField, 0), {"vid=1"}, "offset or a size of zero"},
        Refusal{"TablePastTheEnd", patched(kSigned, kTableSizeField, 120), {"vid=1"}, "outside the file"},
        Refusal{"TableOffsetPastTheEnd", patched(kSigned, testsupport::kPeSecurityEntry, 0xFFFFFFF0), {"vid=1"},
                "outside the file"},
        Refusal{"TableNotOnAMultipleOf8",
                testsupport::withCertificateTable(testsupport::minimalPeImage() + "x", {"abc"}), {"vid=1"},
                "multiple of 8"},
        Refusal{"TableOverTheHeaders", patched(kSigned, testsupport::kPeSecurityEntry, 8 | (kSigned.size() - 8) << 32, 8), {"vid=1"},
                "overlaps the PE headers"},
        Refusal{"EntryHeaderCut", patched(testsupport::minimalPeImage() + "\x10\0\0\0"s, testsupport::kPeSecurityEntry,
                                           0x400 | std::uint64_t{4} << 32, 8),
                {"vid=1"}, "header runs past"},
        Refusal{"EntryShorterThanItsHeader", patched(kSigned, 0x400, 4), {"vid=1"}, "shorter than its own header"},
        Refusal{"EntryLongerThanTheTable", patched(kSigned, 0x400, 200), {"vid=1"}, "runs past the end of the table"},
        Refusal{"LengthsDoNotAddUp",
                patched(testsupport::withCertificateTable(testsupport::minimalPeImage(), {"ab"}, false) + "\0\0"s,
                        kTableSizeField, 12),
                {"vid=1"}, "do not add up"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Stamp, RefusesMissingFilesAndDirectories) {
    TempDir dir;
    const ProcessResult missing = stamp({(dir / "missing.exe").string(), "vid=1"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("no such file"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(dir / "missing.exe"));
    EXPECT_NE(stamp({dir.path().string(), "vid=1"}).exitCode, 0);
    EXPECT_NE(stamp({}).exitCode, 0);
    EXPECT_NE(stamp({"--frobnicate", (dir / "x").string()}).exitCode, 0);
    const ProcessResult help = stamp({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--replace"), std::string::npos);
    EXPECT_TRUE(entriesOf(dir.path()).empty());
}

TEST(Stamp, ReplaceSwapsTheBlockAndKeepsTheRest) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    writeFile(file, kProgram);
    ASSERT_EQ(stamp({file.string(), "vid=15", "ap=13", "old=gone"}).exitCode, 0);
    const ProcessResult replaced = stamp({"--replace", file.string(), "vid=16", "ap=14"});
    ASSERT_EQ(replaced.exitCode, 0) << replaced.err;
    EXPECT_EQ(testsupport::readFileBytes(file), kProgram + "PayloadInfo:vid=16;ap=14;\0"s);

    // --replace on a file without a block simply stamps it.
    const fs::path fresh = dir / "fresh.exe";
    writeFile(fresh, kProgram);
    ASSERT_EQ(stamp({"--replace", fresh.string(), "vid=1"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFileBytes(fresh), kProgram + "PayloadInfo:vid=1;\0"s);
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"fresh.exe", "setup.exe"}));
}

// ---------------------------------------------------------------- signed programs

// A test CA and a code-signing certificate for CN=Vorlane Test Publisher in `dir`.
void makeSigningCertificates(const fs::path& dir) {
    const auto run = [](const std::vector<std::string>& argv) {
        const ProcessResult result = testsupport::runProcess(argv, kTimeout);
        ASSERT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.err;
    };
    const std::string d = dir.string() + "/";
    writeFile(dir / "ext.cnf", "basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                               "extendedKeyUsage=codeSigning\n");
    run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key", "-out", d + "ca.pem",
         "-days", "2", "-subj", "/CN=Vorlane Test Root", "-addext", "basicConstraints=critical,CA:true"});
    run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "pub.key", "-out", d + "pub.csr",
         "-subj", "/CN=Vorlane Test Publisher"});
    run({"openssl", "x509", "-req", "-in", d + "pub.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
         "-CAcreateserial", "-out", d + "pub.pem", "-days", "2", "-extfile", d + "ext.cnf"});
}

// osslsigncode's verdict, including its own computation of the PE checksum.
void expectVerified(const fs::path& dir, const fs::path& file) {
    const ProcessResult verified = testsupport::runProcess(
        {"osslsigncode", "verify", "-CAfile", (dir / "ca.pem").string(), "-in", file.string()}, kTimeout);
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    EXPECT_NE(verified.out.find("Signature verification: ok"), std::string::npos) << verified.out;
    EXPECT_EQ(verified.out.find("invalid PE checksum"), std::string::npos) << verified.out;
}

TEST(Stamp, SignedProgramStaysSignedThroughStampAndReplace) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(makeSigningCertificates(dir.path()));
    writeFile(dir / "plain.exe", testsupport::minimalPeImage());
    const ProcessResult signing = testsupport::runProcess(
        {"osslsigncode", "sign", "-certs", (dir / "pub.pem").string(), "-key", (dir / "pub.key").string(), "-in",
         (dir / "plain.exe").string(), "-out", (dir / "signed.exe").string()},
        kTimeout);
    ASSERT_EQ(signing.exitCode, 0) << signing.out << signing.err;
    const std::string original = testsupport::readFileBytes(dir / "signed.exe");

    const fs::path file = dir / "setup.exe";
    fs::copy_file(dir / "signed.exe", file);
    ASSERT_EQ(stamp({file.string(), "vid=15", "ap=13"}).exitCode, 0);
    expectVerified(dir.path(), file);
    PayloadMap payload = readPayloadFromFile(wide(file));
    EXPECT_EQ(payload, (PayloadMap{{"ap", "13"}, {"vid", "15"}}));

    // The block, then zeros up to a multiple of 8, end the last entry; only
    // its length, the table's size and the checksum changed before it.
    const std::string stamped = testsupport::readFileBytes(file);
    const std::string block = "PayloadInfo:vid=15;ap=13;\0"s;
    ASSERT_EQ(stamped.size(), (original.size() + block.size() + 7) / 8 * 8);
    EXPECT_EQ(stamped.substr(original.size()), block + std::string(stamped.size() - original.size() - block.size(), '\0'));
    const std::size_t table = testsupport::getLe32(original, testsupport::kPeSecurityEntry);
    EXPECT_EQ(testsupport::getLe32(stamped, table), stamped.size() - table);
    EXPECT_EQ(testsupport::getLe32(stamped, kTableSizeField), stamped.size() - table);
    std::string unchanged = stamped.substr(0, original.size());
    for (const std::size_t field : {testsupport::kPeChecksumField, kTableSizeField, table}) {
        unchanged.replace(field, 4, original, field, 4);
    }
    EXPECT_EQ(unchanged, original);

    // --replace gives exactly what a first stamp with the new items gives.
    ASSERT_EQ(stamp({"--replace", file.string(), "vid=16"}).exitCode, 0);
    expectVerified(dir.path(), file);
    EXPECT_EQ(stamp({"--show", file.string()}).out, "vid=16\n");
    fs::copy_file(dir / "signed.exe", dir / "fresh.exe");
    ASSERT_EQ(stamp({(dir / "fresh.exe").string(), "vid=16"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFileBytes(file), testsupport::readFileBytes(dir / "fresh.exe"));
    const ProcessResult again = stamp({file.string(), "vid=17"});
    EXPECT_NE(again.err.find("already ends in a payload block"), std::string::npos) << again.err;
}

// ---------------------------------------------------------------- sealed blocks

// The distributor's P-256 key pair as openssl writes it (seal.pem, seal.pub.pem),
// the public point as a build takes it, and keys stamp must refuse.
platform::P256PublicKey makeSealingKeys(const fs::path& dir) {
    const auto run = [](const std::vector<std::string>& argv) {
        const ProcessResult result = testsupport::runProcess(argv, kTimeout);
        EXPECT_EQ(result.exitCode, 0) << argv[0] << " " << argv[1] << ": " << result.err;
    };
    const std::string d = dir.string() + "/";
    run({"openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", d + "seal.pem"});
    run({"openssl", "ec", "-in", d + "seal.pem", "-pubout", "-out", d + "seal.pub.pem"});
    run({"openssl", "pkcs8", "-topk8", "-in", d + "seal.pem", "-out", d + "sealenc.pem", "-passout", "pass:secret"});
    run({"openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", d + "p384.pem"});
    run({"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", d + "rsa.pem"});
    run({"openssl", "ec", "-pubin", "-in", d + "seal.pub.pem", "-outform", "DER", "-out", d + "seal.pub.der"});
    const std::string der = testsupport::readFileBytes(dir / "seal.pub.der");
    platform::P256PublicKey key{};
    if (der.size() == 91) std::copy(der.end() - 64, der.end(), key.begin());
    return key;
}

// The file with the seal's 128 hex digits and the PE checksum over them
// blanked: two seals of the same bytes differ, ECDSA signatures being randomised.
std::string withoutSealValue(std::string bytes) {
    const std::size_t seal = bytes.rfind("seal=");
    if (seal != std::string::npos) bytes.replace(seal + 5, 128, 128, '-');
    bytes.replace(testsupport::kPeChecksumField, 4, 4, '-');
    return bytes;
}

TEST(Stamp, SealsASignedProgramForItsProductAndRefusesKeysThatCannotSeal) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(makeSigningCertificates(dir.path()));
    const platform::P256PublicKey key = makeSealingKeys(dir.path());
    const std::string sealKey = (dir / "seal.pem").string();
    writeFile(dir / "plain.exe", testsupport::minimalPeImage());
    ASSERT_EQ(testsupport::runProcess({"osslsigncode", "sign", "-certs", (dir / "pub.pem").string(), "-key",
                                       (dir / "pub.key").string(), "-in", (dir / "plain.exe").string(), "-out",
                                       (dir / "signed.exe").string()},
                                      kTimeout)
                  .exitCode,
              0);
    const fs::path file = dir / "setup.exe";
    fs::copy_file(dir / "signed.exe", file);
    const ProcessResult sealed = stamp({"--key", sealKey, file.string(), "vid=15", "partnerId=7"});
    ASSERT_EQ(sealed.exitCode, 0) << sealed.err;
    expectVerified(dir.path(), file);
    const std::string tail = testsupport::readFileBytes(file);
    SealCheck check = checkSealedPayload(tail, "pelmora", key);
    ASSERT_EQ(check.verdict, SealCheck::sealed) << check.detail;
    EXPECT_EQ(check.payload, (PayloadMap{{"partnerId", "7"}, {"vid", "15"}}));
    EXPECT_EQ(checkSealedPayload(tail, "dravolin", key).verdict, SealCheck::refused);

    // --replace gives what a first sealed stamp of the new items gives, but
    // for the seal's value; --product seals for another product's program.
    ASSERT_EQ(stamp({"--replace", "--key", sealKey, file.string(), "vid=16"}).exitCode, 0);
    expectVerified(dir.path(), file);
    fs::copy_file(dir / "signed.exe", dir / "fresh.exe");
    ASSERT_EQ(stamp({"--key", sealKey, (dir / "fresh.exe").string(), "vid=16"}).exitCode, 0);
    EXPECT_EQ(withoutSealValue(testsupport::readFileBytes(file)),
              withoutSealValue(testsupport::readFileBytes(dir / "fresh.exe")));
    EXPECT_NE(testsupport::readFileBytes(file), testsupport::readFileBytes(dir / "fresh.exe"));
    ASSERT_EQ(stamp({"--replace", "--key", sealKey, "--product", "Dravolin", file.string(), "vid=16"}).exitCode, 0);
    EXPECT_EQ(checkSealedPayload(testsupport::readFileBytes(file), "dravolin", key).verdict, SealCheck::sealed);

    // An encrypted key opens with its passphrase from the environment only.
    const std::string encrypted = (dir / "sealenc.pem").string();
    const ProcessResult withPassphrase = testsupport::runProcess(
        {testsupport::toolPath("stamp").string(), "--replace", "--key", encrypted, file.string(), "vid=17"}, kTimeout,
        {"STAMP_KEY_PASSPHRASE=secret"});
    ASSERT_EQ(withPassphrase.exitCode, 0) << withPassphrase.err;
    EXPECT_EQ(checkSealedPayload(testsupport::readFileBytes(file), "pelmora", key).verdict, SealCheck::sealed);

    const std::string before = testsupport::readFileBytes(file);
    const std::string f = file.string();
    const std::pair<std::vector<std::string>, const char*> refusals[] = {
        {{"--key", (dir / "p384.pem").string(), f, "vid=18"}, "not an ECDSA P-256"},
        {{"--key", (dir / "rsa.pem").string(), f, "vid=18"}, "not an ECDSA P-256"},
        {{"--key", (dir / "seal.pub.pem").string(), f, "vid=18"}, "no private key"},
        {{"--key", encrypted, f, "vid=18"}, "STAMP_KEY_PASSPHRASE"},
        {{"--key", (dir / "missing.pem").string(), f, "vid=18"}, "cannot be read"},
        {{"--product", "pelmora", f, "vid=18"}, "--product only goes with --key"},
        {{"--key", sealKey, f, "seal=abc"}, "the seal's own"},
    };
    for (auto [arguments, message] : refusals) {
        arguments.insert(arguments.begin(), "--replace");
        const ProcessResult refused = stamp(arguments);
        EXPECT_NE(refused.exitCode, 0) << message;
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
        EXPECT_EQ(testsupport::readFileBytes(file), before) << message;
    }
}

TEST(Stamp, GrowsAnUnpaddedLastEntryAndLeavesUnsignedProgramsAsTheyWere) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    const std::string unpadded =
        testsupport::withCertificateTable(testsupport::minimalPeImage(), {std::string(16, '1'), "abc"}, false);
    writeFile(file, unpadded);
    ASSERT_EQ(stamp({file.string(), "k=v"}).exitCode, 0);
    const std::string stamped = testsupport::readFileBytes(file);
    EXPECT_EQ(stamped, patched(patched(patched(unpadded, 0x418, 11 + 17 + 4), kTableSizeField, 24 + 32),
                               testsupport::kPeChecksumField, testsupport::getLe32(stamped, testsupport::kPeChecksumField)) +
                           "PayloadInfo:k=v;\0"s + std::string(4, '\0'));

    const std::string image = testsupport::minimalPeImage();
    writeFile(file, image);
    ASSERT_EQ(stamp({file.string(), "k=v"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFileBytes(file), image + "PayloadInfo:k=v;\0"s);
}

TEST(Stamp, MarkerTextEarlierInTheFileIsNeitherReadNorReplaced) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    // An old block buried inside the program, followed by more program bytes.
    const std::string program = kProgram + "PayloadInfo:evil=1;\0"s + std::string(1000, '\0') + "tail\x01"s;
    writeFile(file, program);
    ASSERT_EQ(stamp({file.string(), "vid=15"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFileBytes(file), program + "PayloadInfo:vid=15;\0"s);
    const PayloadMap payload = readPayloadFromFile(wide(file));
    EXPECT_EQ(payload.size(), 1u);
    EXPECT_EQ(payload.count("vid"), 1u);
    ASSERT_EQ(stamp({"--replace", file.string(), "vid=16"}).exitCode, 0);
    EXPECT_EQ(testsupport::readFileBytes(file), program + "PayloadInfo:vid=16;\0"s);
}

TEST(Stamp, KeepsTheFileModeAndStampsThroughLinks) {
    TempDir dir;
    const fs::path file = dir / "setup.exe";
    writeFile(file, kProgram);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read,
                    fs::perm_options::replace);
    fs::create_symlink(file, dir / "link.exe");
    ASSERT_EQ(stamp({(dir / "link.exe").string(), "vid=15"}).exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.exe"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read);
    EXPECT_EQ(readPayloadFromFile(wide(file)).count("vid"), 1u);
}

TEST(Stamp, FilesLargerThanTheExaminedTail) {
    TempDir dir;
    const fs::path file = dir / "large.exe";
    // A block at the very start lies far outside the last 100 MiB.
    writeFile(file, "PayloadInfo:far=1;\0"s);
    const std::int64_t size = kPayloadTailLimit + 50 * 1024 * 1024;
    fs::resize_file(file, static_cast<std::uintmax_t>(size));
    {
        std::fstream patch(file, std::ios::binary | std::ios::in | std::ios::out);
        patch.seekp(size - 4096);
        patch.write("PayloadInfo:inside=1;\0more", 26);  // marker text within the tail, not a block
    }
    ASSERT_TRUE(readPayloadFromFile(wide(file)).count("inside"));

    ProcessResult result = stamp({file.string(), "vid=15", "ap=13"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string block = "PayloadInfo:vid=15;ap=13;\0"s;
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(file)), size + static_cast<std::int64_t>(block.size()));
    PayloadMap payload = readPayloadFromFile(wide(file));
    EXPECT_EQ(takeSetting(payload, "vid"), L"15");
    EXPECT_EQ(takeSetting(payload, "ap"), L"13");
    EXPECT_TRUE(payload.empty());

    result = stamp({"--replace", file.string(), "vid=16"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::ifstream in(file, std::ios::binary);
    std::string head(19, '\0');
    in.read(head.data(), 19);
    EXPECT_EQ(head, "PayloadInfo:far=1;\0"s);
    in.seekg(size - 4096);
    std::string patched(26, '\0');
    in.read(patched.data(), 26);
    EXPECT_EQ(patched, "PayloadInfo:inside=1;\0more"s);
    // The new block follows the original bytes directly.
    in.seekg(size);
    std::string newBlock(20, '\0');
    in.read(newBlock.data(), 20);
    EXPECT_EQ(in.gcount(), 20);
    EXPECT_EQ(newBlock, "PayloadInfo:vid=16;\0"s);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(file)), size + 20);
}

}  // namespace
