// The destination file's rules: links are replaced rather than written
// through, other non-files are refused, sizes read back as zeros, the
// read-only hold keeps the bytes but refuses writes, and a lock has one holder.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct LinkCase {
    const char* name;
    // Makes "dest" a link to "target" (which holds "secret").
    std::function<void(const unittest::ScratchDir&)> makeLink;
};

class FileLinks : public ::testing::TestWithParam<LinkCase> {};

TEST_P(FileLinks, ALinkIsReplacedByAFreshFileAndItsTargetKept) {
    unittest::ScratchDir dir;
    writeText(dir / "target", "secret");
    try {
        GetParam().makeLink(dir);
    } catch (const fs::filesystem_error& error) {
        GTEST_SKIP() << "this system cannot make the link: " << error.what();
    }

    platform::File file;
    ASSERT_TRUE(file.openForWriting(dir.file("dest")));
    EXPECT_EQ(file.size(), 0);
    ASSERT_TRUE(file.writeAt(0, "new", 3));
    file.close();

    EXPECT_EQ(contentOf(dir / "target"), "secret");
    EXPECT_EQ(contentOf(dir / "dest"), "new");
    EXPECT_FALSE(fs::is_symlink(dir / "dest"));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FileLinks,
    ::testing::Values(
        LinkCase{"SymbolicLink",
                 [](const unittest::ScratchDir& dir) { fs::create_symlink(dir / "target", dir / "dest"); }},
        LinkCase{"DanglingSymbolicLink",
                 [](const unittest::ScratchDir& dir) { fs::create_symlink(dir / "absent", dir / "dest"); }},
        LinkCase{"HardLink",
                 [](const unittest::ScratchDir& dir) { fs::create_hard_link(dir / "target", dir / "dest"); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(File, ADirectoryIsRefusedAndKept) {
    unittest::ScratchDir dir;
    fs::create_directory(dir / "dest");
    writeText(dir / "dest" / "inside", "x");
    platform::File file;
    EXPECT_FALSE(file.openForWriting(dir.file("dest")));
    EXPECT_EQ(contentOf(dir / "dest" / "inside"), "x");
}

TEST(File, ExistingBytesAreKeptAndGrowthReadsAsZeros) {
    unittest::ScratchDir dir;
    writeText(dir / "dest", "abc");
    platform::File file;
    ASSERT_TRUE(file.openForWriting(dir.file("dest")));
    EXPECT_EQ(file.size(), 3);
    ASSERT_TRUE(file.resize(6));
    ASSERT_TRUE(file.writeAt(4, "Z", 1));
    char back[8] = {};
    EXPECT_EQ(file.readAt(0, back, sizeof back), 6);
    EXPECT_EQ(std::string(back, 6), std::string("abc\0Z\0", 6));
}

#ifndef _WIN32
// Linux only: NTFS backs a grown file at once, and Wine cannot allocate ahead.
TEST(File, AReservationBacksEveryByteAndKeepsWhatTheFileHeld) {
    constexpr std::int64_t kLength = 1 << 20;
    unittest::ScratchDir dir;
    platform::File file;
    ASSERT_TRUE(file.openForWriting(dir.file("dest")));
    // Sparse: one byte written far into a grown file.
    ASSERT_TRUE(file.resize(kLength));
    ASSERT_TRUE(file.writeAt(kLength / 2, "Z", 1));
    ASSERT_LT(file.allocatedBytes(), kLength);
    ASSERT_EQ(file.reserve(kLength), platform::File::Reservation::Done);
    EXPECT_EQ(file.size(), kLength);
    EXPECT_GE(file.allocatedBytes(), kLength);
    char back[2] = {};
    EXPECT_EQ(file.readAt(kLength / 2 - 1, back, 2), 2);
    EXPECT_EQ(std::string(back, 2), std::string("\0Z", 2));
    // A shorter reservation cuts the file.
    ASSERT_EQ(file.reserve(3), platform::File::Reservation::Done);
    EXPECT_EQ(file.size(), 3);
    ASSERT_TRUE(file.holdReadOnly());
    EXPECT_EQ(file.reserve(3), platform::File::Reservation::Failed);
}
#endif

TEST(File, TheReadOnlyHoldKeepsTheBytesAndRefusesWrites) {
    unittest::ScratchDir dir;
    platform::File file;
    ASSERT_TRUE(file.openForWriting(dir.file("dest")));
    ASSERT_TRUE(file.writeAt(0, "done", 4));
    ASSERT_TRUE(file.holdReadOnly());
    EXPECT_FALSE(file.writeAt(0, "XXXX", 4));
    EXPECT_FALSE(file.resize(0));
    char back[4] = {};
    EXPECT_EQ(file.readAt(0, back, 4), 4);
    EXPECT_EQ(std::string(back, 4), "done");
}

TEST(File, ALockHasOneHolderUntilItIsClosed) {
    using Lock = platform::File::Lock;
    unittest::ScratchDir dir;
    fs::create_directory(dir / "folder");
    platform::File first, second;
    EXPECT_EQ(first.openLocked(dir.file("state.lock")), Lock::Taken);
    EXPECT_EQ(second.openLocked(dir.file("state.lock")), Lock::Held);
    // Right after a refusal: a path that is no file is no holder.
    EXPECT_EQ(second.openLocked(dir.file("folder")), Lock::Failed);
    first.close();
    EXPECT_EQ(second.openLocked(dir.file("state.lock")), Lock::Taken);
}

}  // namespace
