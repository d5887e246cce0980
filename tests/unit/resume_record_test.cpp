// SHA-256 (the system's, so under Wine the CNG side) and the resume record:
// its text, and the starts it allows. A state is continued only beside the
// record written for it; a finished file only while it hashes to the record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "downloader/resume_record.h"
#include "platform/sha256.h"
#include "tests/unit/transfer_test_access.h"

namespace {

constexpr std::int32_t kPart = DownloadInfo::kPartSize;

TEST(Sha256, KnownVectors) {
    const struct {
        std::string input;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) EXPECT_EQ(platform::sha256Hex(v.input), v.digest) << v.input.size();
}

TEST(Sha256, OfAFileIsOfAllItsBytesReadThroughTheHandle) {
    transfertest::ScratchDir dir;
    // Past the read chunk, so that the pieces are joined in order.
    const std::string bytes = transfertest::patternBytes(3 * (1 << 20) + 7, 5);
    transfertest::writeAll(dir / "f.bin", bytes);
    platform::File file;
    ASSERT_TRUE(file.openHeld(dir.file("f.bin")));
    EXPECT_EQ(platform::sha256HexOfFile(file), platform::sha256Hex(bytes));
    EXPECT_EQ(platform::sha256HexOfFile(platform::File()), "") << "a closed file has no digest";
}

TEST(ResumeRecordText, IsThreeLinesAndParsesOnlyWellFormed) {
    const std::string a(64, 'a'), b(64, '0');
    EXPECT_EQ((ResumeRecord{"\"v1\"", a, ""}.text()), "\"v1\"\n" + a);
    EXPECT_EQ((ResumeRecord{"", a, b}.text()), "\n" + a + "\n" + b);
    ResumeRecord read;
    ASSERT_TRUE(read.parse("\"v1\"\n" + a + "\n" + b));
    EXPECT_EQ(read.text(), "\"v1\"\n" + a + "\n" + b);
    for (const std::string& bad : std::vector<std::string>{"\"v1\"", "\"v1\"\n" + a + "\n", "\"v1\"\n" + a.substr(1), "\"v1\"\n" + a + "A",
                                   "\"v1\"\n" + a + "\n" + b + "\n" + b, "\"v1\"\n" + std::string(64, 'A')})
        EXPECT_FALSE(read.parse(bad)) << bad;
}

// One earlier run, made by the engine's own saves, then a second start.
class ResumeRecordStart : public testing::Test {
protected:
    static constexpr std::int32_t kSize = 3 * kPart + 11;

    DownloadInfo description() const {
        DownloadInfo info;
        info.setFileSize(kSize);
        info.setPartSize(0);
        info.setMaxWorkers(0);
        transfertest::handOutOnePartEach(info);
        info.setUrls({"http://127.0.0.1:9/f.bin"});
        info.setFilePath(m_dir.file("f.bin"));
        return info;
    }
    void configure(Downloader& downloader) const {
        downloader.setDownloadInfo(description());
        downloader.setTempFilePath(m_dir.file("_.txt"));
        downloader.setValidator("\"v1\"");
    }
    std::string record() const { return transfertest::readAll(m_dir / "_.txt.validator"); }

    transfertest::ScratchDir m_dir;
    const std::string m_bytes = transfertest::patternBytes(kSize, 9);
};

TEST_F(ResumeRecordStart, AStateIsContinuedOnlyBesideItsOwnRecord) {
    transfertest::writeAll(m_dir / "f.bin", m_bytes);
    DownloadInfo progressed = description();
    progressed.takeNextPart(0);
    progressed.setPartDownloaded(1, 777);
    Downloader first;
    configure(first);
    ASSERT_TRUE(DownloaderTestAccess::saveState(first, progressed.serialize()));
    EXPECT_EQ(record(), "\"v1\"\n" + platform::sha256Hex(progressed.serialize()));

    for (const bool edited : {false, true}) {
        if (edited) {
            // Another state of the same download, written without its record.
            DownloadInfo other = progressed;
            other.setPartDownloaded(1, 778);
            ASSERT_TRUE(other.save(m_dir.file("_.txt")));
        }
        Downloader second;
        configure(second);
        EXPECT_EQ(second.prepareStart(), !edited);
        EXPECT_EQ(second.downloadInfo().partDownloaded(1), edited ? 0 : 777);
    }
}

TEST_F(ResumeRecordStart, AFinishedFileIsStartedOnlyWhileItHashesToItsRecord) {
    enum class Swap { Never, BeforeTheStart, AfterTheDecision };
    for (const Swap swap : {Swap::Never, Swap::BeforeTheStart, Swap::AfterTheDecision}) {
        SCOPED_TRACE(static_cast<int>(swap));
        transfertest::writeAll(m_dir / "f.bin", m_bytes);
        DownloadInfo complete = description();
        while (!complete.isComplete())
            for (std::int32_t w = 0; w < complete.workersCount(); ++w) complete.takeNextPart(w);
        {
            Downloader first;
            configure(first);
            first.setDownloadInfo(complete);
            platform::File held;
            ASSERT_TRUE(held.openHeld(m_dir.file("f.bin")));
            DownloaderTestAccess::recordFinishedFile(first, held);
        }
        EXPECT_EQ(record(), "\"v1\"\n" + platform::sha256Hex(complete.serialize()) + "\n" + platform::sha256Hex(m_bytes));

        // Another program of the same size in the file's place.
        const std::string other = transfertest::patternBytes(kSize, 10);
        if (swap == Swap::BeforeTheStart) transfertest::writeAll(m_dir / "f.bin", other);
        Downloader second;
        configure(second);
        const bool continued = second.prepareStart();
        EXPECT_EQ(continued, swap != Swap::BeforeTheStart);
        if (!continued) {
            EXPECT_EQ(second.downloadInfo().completedLength(), 0) << "a fresh download";
            EXPECT_EQ(record(), "\"v1\"\n" + platform::sha256Hex(second.downloadInfo().serialize()));
            continue;
        }
        if (swap == Swap::AfterTheDecision) transfertest::writeAll(m_dir / "f.bin", other);
        DownloaderTestAccess::download(second);
        const platform::File held = second.takeCompletedFile();
        ASSERT_TRUE(held.isOpen());
        EXPECT_EQ(second.completedFileMatchesRecord(held), swap == Swap::Never);
        // A mismatch leaves no record: the next start fetches afresh.
        EXPECT_EQ(std::filesystem::exists(m_dir / "_.txt.validator"), swap == Swap::Never);
    }
}

}  // namespace
