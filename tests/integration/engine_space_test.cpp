// A drive that cannot hold the download (a small tmpfs, which needs root to
// mount): nothing is asked of the server, the space still needed is told,
// and a partial download stays for the start after room was made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/integration/engine_harness.h"
#include "tests/support/nginx_server.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

constexpr std::int32_t kSize = 20 * kPart + 123;

// A tmpfs of `size` over `dir` for the life of the object.
class SmallDrive {
public:
    SmallDrive(const fs::path& dir, const std::string& size) : m_dir(dir) {
        m_mounted = ::mount("vorlane-space-test", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallDrive() {
        if (m_mounted) ::umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    fs::path m_dir;
    bool m_mounted = false;
};

std::int64_t allocatedBytes(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_blocks) * 512 : -1;
}

// `from` copied to `to` with its all-zero blocks left as holes: a download
// kept by an earlier run on a file system that did not reserve its space.
void copySparse(const fs::path& from, const fs::path& to) {
    const std::string bytes = testsupport::readFileBytes(from);
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    constexpr std::size_t kBlock = 4096;
    for (std::size_t at = 0; at < bytes.size(); at += kBlock) {
        const std::size_t length = std::min(kBlock, bytes.size() - at);
        if (bytes.find_first_not_of('\0', at) >= at + length) continue;
        ASSERT_EQ(::pwrite(fd, bytes.data() + at, length, static_cast<off_t>(at)), static_cast<ssize_t>(length));
    }
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
    ::close(fd);
}

// Fills the drive holding `dir` up to `leave` free bytes.
void fillUpTo(const fs::path& dir, std::int64_t leave) {
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(dir.c_str(), &volume), 0);
    const std::int64_t free = static_cast<std::int64_t>(volume.f_bavail) * static_cast<std::int64_t>(volume.f_frsize);
    ASSERT_GE(free, leave);
    std::ofstream(dir / "filler", std::ios::binary) << std::string(static_cast<std::size_t>(free - leave), 'x');
}

// Runs a prepared start to its end.
void runToEnd(Downloader& downloader) {
    downloader.beginDownload();
    while (downloader.isDownloading()) std::this_thread::sleep_for(5ms);
}

std::int32_t getsLogged(const testsupport::NginxServer& server) {
    const std::string log = server.accessLog();
    std::int32_t count = 0;
    for (std::size_t at = log.find("\"GET "); at != std::string::npos; at = log.find("\"GET ", at + 1)) ++count;
    return count;
}

TEST(EngineSpace, ADriveTooSmallAsksForNothingAndKeepsThePartialDownload) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    TempDir root, first, small;
    testsupport::writeRandomFile(root / "f.bin", kSize, 211);
    testsupport::NginxOptions slow;
    slow.limitRate = "256k";
    testsupport::NginxServer server(root.path(), slow);
    const std::string url = server.url("f.bin");
    HeaderList headers;
    std::string error;
    ASSERT_EQ(requestHeaders(url, {}, {}, headers, error), CURLE_OK) << error;
    // nginx's ETag, the same for every start of this test.
    const std::string validator = responseValidator(headers);

    // A first run, stopped after some parts, leaves its file, state and record
    // on the drive that is to fill up.
    SmallDrive drive(small.path(), "16m");
    if (!drive.mounted()) GTEST_SKIP() << "no tmpfs could be mounted";
    {
        Start run(small.path(), url, validator, kSize);
        ASSERT_FALSE(run.downloader.prepareStart());
        run.downloader.beginDownload();
        const auto deadline = Clock::now() + 30s;
        while (run.downloader.downloadInfo().completedLength() < 2 * kPart && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        run.downloader.stop();
        while (run.downloader.isDownloading()) std::this_thread::sleep_for(5ms);
        ASSERT_FALSE(run.downloader.downloadInfo().isComplete());
    }
    // As a file system without reservation would have kept it: what was never
    // written takes no space.
    for (const char* name : {"out.bin", "out.bin.state", "out.bin.state.validator"})
        fs::copy_file(small / name, first / name);
    fs::remove(small / "out.bin");
    copySparse(first / "out.bin", small / "out.bin");
    const std::int64_t held = allocatedBytes(small / "out.bin");
    ASSERT_LT(held, kSize);
    const std::string keptFile = testsupport::readFileBytes(small / "out.bin");
    const std::string keptState = testsupport::readFileBytes(small / "out.bin.state");
    fillUpTo(small.path(), 64 * 1024);

    const std::int32_t getsBefore = getsLogged(server);
    {
        Start full(small.path(), url, validator, kSize);
        ASSERT_TRUE(full.downloader.prepareStart());
        runToEnd(full.downloader);
        EXPECT_EQ(full.downloader.result(), DE_NotEnoughSpace);
        EXPECT_EQ(full.downloader.spaceNeeded(), kSize - held + static_cast<std::int64_t>(keptState.size()));
    }
    EXPECT_EQ(getsLogged(server), getsBefore) << "a part was asked for on the full drive";
    EXPECT_EQ(testsupport::readFileBytes(small / "out.bin"), keptFile);
    EXPECT_EQ(testsupport::readFileBytes(small / "out.bin.state"), keptState);

    // The file held whole, but no room left for the state saved before the
    // first request: the state is all that is needed.
    fs::remove(small / "filler");
    fs::copy_file(first / "out.bin", small / "out.bin", fs::copy_options::overwrite_existing);
    fillUpTo(small.path(), 0);
    {
        Start full(small.path(), url, validator, kSize);
        ASSERT_TRUE(full.downloader.prepareStart());
        runToEnd(full.downloader);
        EXPECT_EQ(full.downloader.result(), DE_NotEnoughSpace);
        EXPECT_EQ(full.downloader.spaceNeeded(), static_cast<std::int64_t>(keptState.size()));
    }
    EXPECT_EQ(getsLogged(server), getsBefore) << "a part was asked for without room for the state";
    EXPECT_EQ(testsupport::readFileBytes(small / "out.bin.state"), keptState);

    // Room made: the next start continues and finishes byte-exact.
    fs::remove(small / "filler");
    Start freed(small.path(), url, validator, kSize);
    ASSERT_TRUE(freed.downloader.prepareStart());
    runToEnd(freed.downloader);
    EXPECT_EQ(freed.downloader.result(), DE_Success);
    ASSERT_TRUE(freed.downloader.downloadInfo().isComplete());
    EXPECT_EQ(testsupport::sha256OfFile(small / "out.bin"), testsupport::sha256OfFile(root / "f.bin"));
    EXPECT_GE(allocatedBytes(small / "out.bin"), kSize);
}

}  // namespace
}  // namespace enginetest
