// Byte layout and file handling of the resume-state file.
#include "downloader/download_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tests/unit/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

using TempDir = unittest::ScratchDir;

Bytes readAll(const std::wstring& path) {
    std::ifstream in(platform::nativePath(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int32_t int32At(const Bytes& bytes, std::size_t offset) {
    const std::uint32_t value = bytes.at(offset) | (bytes.at(offset + 1) << 8) | (bytes.at(offset + 2) << 16) |
                                (static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24);
    return static_cast<std::int32_t>(value);
}

DownloadInfo describe(std::int32_t fileSize, const std::wstring& path, std::vector<std::string> urls) {
    DownloadInfo info;
    info.setFileSize(fileSize);
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    info.setFilePath(path);
    info.setUrls(urls);
    return info;
}

// Two parts, each worker holding one; worker 1 kept 16 bytes of its part.
const Bytes kWorkedExample = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00,                                      // format 2
    0x00, 0x00, 0x00, 0x00,                                                              // urlSuffix
    0x00, 0x00, 0x00, 0x00,                                                              // fileTag
    0x05, 0x00, 0x00, 0x00, 0x61, 0x00, 0x2E, 0x00, 0x65, 0x00, 0x78, 0x00, 0x65, 0x00,  // filePath
    0x00, 0x00, 0x08, 0x00,                                                              // partSize
    0x40, 0x42, 0x0F, 0x00,                                                              // fileSize
    0x0C, 0x00, 0x00, 0x00,                                                              // maxWorkers
    0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,                                      // partDownloaded
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,                                      // currentPart
    0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,                                      // runEnd
    0x01, 0x00, 0x00, 0x00,                                                              // URL count
    0x01, 0x00, 0x00, 0x00, 0x78,                                                        // URL
};
constexpr std::size_t kCurrentAt = 50;
constexpr std::size_t kRunEndAt = 58;
constexpr std::size_t kKeptAt = 42;

std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes withInt32(Bytes bytes, std::size_t offset, std::int32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<unsigned char>((static_cast<std::uint32_t>(value) >> (8 * i)) & 0xFF);
    return bytes;
}

TEST(ResumeStateFile, WorkedExampleMatchesByteForByte) {
    TempDir dir;
    const std::wstring state = dir.file(L"state.txt");
    DownloadInfo info = describe(1000000, L"a.exe", {"x"});
    info.takeRun(0, 1);
    info.takeRun(1, 1);
    info.setPartDownloaded(1, 16);
    ASSERT_TRUE(info.save(state));
    EXPECT_EQ(readAll(state), kWorkedExample);
}

// A state written before runs (no format number, no run ends): a worker held
// just its part, and every part below the highest held one was done.
TEST(ResumeStateFile, AStateOfTheFormatBeforeRunsIsReadAsOnePartRuns) {
    Bytes old(kWorkedExample.begin() + 8, kWorkedExample.end());
    old.erase(old.begin() + (kRunEndAt - 8), old.begin() + (kRunEndAt - 8) + 8);
    DownloadInfo read;
    ASSERT_TRUE(read.parse(asText(old)));
    EXPECT_EQ(read.serialize(), asText(kWorkedExample));

    // Worker 0 finished (its index one past the last part): part 0 is done.
    ASSERT_TRUE(read.parse(asText(withInt32(old, kCurrentAt - 8, 2))));
    EXPECT_FALSE(read.holdsPart(0));
    EXPECT_EQ(read.currentPart(1), 1);
    EXPECT_EQ(read.completedLength(), 524288);
    EXPECT_FALSE(read.parse(asText(withInt32(old, kCurrentAt - 8, 4)))) << "past any worker's reach";
}

struct StateEdit {
    const char* name;
    std::vector<std::pair<std::size_t, std::int32_t>> values;
    bool accepted;
};

class ResumeStateRuns : public ::testing::TestWithParam<StateEdit> {};

TEST_P(ResumeStateRuns, OnlyRunsThatFitTheFileAndEachOtherAreRead) {
    Bytes bytes = kWorkedExample;
    for (const auto& [offset, value] : GetParam().values) bytes = withInt32(bytes, offset, value);
    DownloadInfo read;
    EXPECT_EQ(read.parse(asText(bytes)), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ResumeStateRuns,
    ::testing::Values(StateEdit{"AsWritten", {}, true},
                      StateEdit{"IdleWorker", {{kCurrentAt + 4, 2}, {kKeptAt + 4, 0}}, true},
                      StateEdit{"OneRunOfBothParts", {{kRunEndAt, 2}, {kCurrentAt + 4, 2}, {kKeptAt + 4, 0}}, true},
                      StateEdit{"UnknownFormat", {{4, 3}}, false},
                      StateEdit{"OtherMarker", {{0, -2}}, false},
                      StateEdit{"OverlappingRuns", {{kRunEndAt, 2}}, false},
                      StateEdit{"RunPastTheFile", {{kRunEndAt + 4, 3}}, false},
                      StateEdit{"CurrentPastItsRunEnd", {{kCurrentAt + 4, 2}, {kRunEndAt + 4, 1}}, false},
                      StateEdit{"KeptAWholePart", {{kKeptAt + 4, 475712}}, false},
                      StateEdit{"KeptWithoutAPart", {{kCurrentAt + 4, 2}}, false}),
    [](const auto& param) { return std::string(param.param.name); });

struct WorkerCountCase {
    const char* name;
    std::int32_t fileSize;
    std::int32_t workers;
};

class ResumeStateWorkers : public ::testing::TestWithParam<WorkerCountCase> {};

TEST_P(ResumeStateWorkers, WritesOneEntryPerCountedWorker) {
    const WorkerCountCase c = GetParam();
    TempDir dir;
    const std::wstring state = dir.file(L"state.txt");
    DownloadInfo info = describe(c.fileSize, L"a.exe", {"u1", "u22"});
    // Distinct values per worker, so that order and position are checked too.
    for (std::int32_t w = 0; w < c.workers; ++w) {
        info.takeRun(w, 1);
        info.setPartDownloaded(w, 1000 + w);
    }
    ASSERT_TRUE(info.save(state));

    const Bytes bytes = readAll(state);
    const std::size_t fixed = 8 + 4 + 4 + (4 + 10) + 12;
    const std::size_t tail = 4 + (4 + 2) + (4 + 3);
    ASSERT_EQ(bytes.size(), fixed + 12u * c.workers + tail);
    for (std::int32_t w = 0; w < c.workers; ++w) {
        EXPECT_EQ(int32At(bytes, fixed + 4 * w), 1000 + w) << "partDownloaded " << w;
        EXPECT_EQ(int32At(bytes, fixed + 4 * (c.workers + w)), w) << "currentPart " << w;
        EXPECT_EQ(int32At(bytes, fixed + 4 * (2 * c.workers + w)), w + 1) << "runEnd " << w;
    }
    EXPECT_EQ(int32At(bytes, fixed + 12 * c.workers), 2);  // URL count right after the entries
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResumeStateWorkers,
                         ::testing::Values(WorkerCountCase{"EmptyFile", 0, 0}, WorkerCountCase{"OnePart", 524288, 1},
                                           WorkerCountCase{"TwoParts", 1000000, 2},
                                           WorkerCountCase{"ThirtyNineParts", 20000000, 12}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ResumeStateFile, UnfilledNumbersAreWrittenAsTwosComplement) {
    TempDir dir;
    const std::wstring state = dir.file(L"state.txt");
    DownloadInfo info;
    ASSERT_TRUE(info.save(state));
    const Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(readAll(state), expected);
}

struct PathCase {
    const char* name;
    std::wstring path;
    Bytes encoded;  // count and UTF-16LE units
};

class ResumeStatePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(ResumeStatePath, IsWrittenAsUtf16CodeUnits) {
    const PathCase c = GetParam();
    TempDir dir;
    const std::wstring state = dir.file(L"state.txt");
    ASSERT_TRUE(describe(0, c.path, {}).save(state));
    const Bytes bytes = readAll(state);
    ASSERT_EQ(bytes.size(), 16 + c.encoded.size() + 12 + 4);
    EXPECT_EQ(Bytes(bytes.begin() + 16, bytes.begin() + 16 + c.encoded.size()), c.encoded);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ResumeStatePath,
    ::testing::Values(PathCase{"Empty", L"", {0, 0, 0, 0}},
                      PathCase{"Cyrillic", L"C:\\\u0444.exe", {8, 0, 0, 0, 'C', 0, ':', 0, '\\', 0, 0x44, 0x04, '.', 0,
                                                              'e', 0, 'x', 0, 'e', 0}},
                      // Outside the basic plane: one character, two code units.
                      PathCase{"Supplementary", L"\U0001F600", {2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ResumeStateFile, NonAsciiStatePathIsOpened) {
    TempDir dir;
    const std::wstring folder = dir.path().wstring() + L"/\u0417\u0430\u0433\u0440\u0443\u0437\u043a\u0430 \U0001F600";
    fs::create_directories(platform::nativePath(folder));
    const std::wstring state = folder + L"/state.txt";
    ASSERT_TRUE(describe(1000000, L"a.exe", {"x"}).save(state));
    EXPECT_EQ(readAll(state).size(), 75u);
}

TEST(ResumeStateFile, RewriteTruncatesTheOldContent) {
    TempDir dir;
    const std::wstring state = dir.file(L"state.txt");
    ASSERT_TRUE(describe(20000000, L"long-destination-name.exe", {"http://first/", "http://second/"}).save(state));
    const std::size_t first = readAll(state).size();
    ASSERT_TRUE(describe(1000000, L"a.exe", {"x"}).save(state));
    EXPECT_LT(75u, first);
    EXPECT_EQ(readAll(state).size(), 75u);
}

TEST(ResumeStateFile, ALinkAtTheStatePathIsReplacedNeverWrittenThrough) {
    const std::function<void(const fs::path&, const fs::path&)> makeLinks[] = {
        [](const fs::path& target, const fs::path& link) { fs::create_symlink(target, link); },
        [](const fs::path& target, const fs::path& link) { fs::create_hard_link(target, link); },
    };
    for (const auto& makeLink : makeLinks) {
        TempDir dir;
        std::ofstream(dir / "victim", std::ios::binary) << "keep";
        try {
            makeLink(dir / "victim", dir / "state.txt");
        } catch (const fs::filesystem_error&) {
            continue;  // this system cannot make that link
        }
        ASSERT_TRUE(describe(1000000, L"a.exe", {"x"}).save(dir.file(L"state.txt")));
        EXPECT_EQ(readAll(dir.file(L"victim")).size(), 4u);
        EXPECT_EQ(readAll(dir.file(L"state.txt")).size(), 75u);
        EXPECT_FALSE(fs::is_symlink(dir / "state.txt"));
        EXPECT_EQ(fs::hard_link_count(dir / "state.txt"), 1u);
    }
}

TEST(ResumeStateFile, MissingDirectoryFailsAndCreatesNothing) {
    TempDir dir;
    const std::wstring state = dir.file(L"missing/state.txt");
    EXPECT_FALSE(describe(1000000, L"a.exe", {"x"}).save(state));
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST(ResumeStateFile, DirectoryInPlaceOfTheFileFails) {
    TempDir dir;
    fs::create_directories(dir.path() / "state.txt");
    EXPECT_FALSE(describe(1000000, L"a.exe", {"x"}).save(dir.file(L"state.txt")));
}

TEST(ResumeStateFile, DataLostOnAFullDiskIsReportedAsFailure) {
    // Everything fits into the stream's buffer, so the loss only shows when
    // the buffer reaches the device.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    EXPECT_FALSE(describe(1000000, L"a.exe", {"x"}).save(L"/dev/full"));
}

}  // namespace

namespace {

// What a later start reads back: exactly the saved bytes, advanced workers
// and kept counts included; any prefix or a trailing byte is refused.
TEST(ResumeStateFile, ParsesExactlyWhatWasSavedAndNothingElse) {
    DownloadInfo info = describe(5 * DownloadInfo::kPartSize + 7, L"d\u00e9st.exe", {"http://a/", "http://b/"});
    info.takeRun(0, 2);
    info.takeRun(1, 3);
    info.takeNextPart(1);
    info.setPartDownloaded(0, 1000);
    const std::string bytes = info.serialize();
    DownloadInfo read;
    ASSERT_TRUE(read.parse(bytes));
    EXPECT_EQ(read.serialize(), bytes);
    EXPECT_TRUE(read.describesSameDownload(info));
    for (std::size_t length = 0; length < bytes.size(); ++length) EXPECT_FALSE(read.parse(bytes.substr(0, length))) << length;
    EXPECT_FALSE(read.parse(bytes + '\0'));
    EXPECT_EQ(read.serialize(), bytes);  // a refused parse changes nothing
}

}  // namespace
