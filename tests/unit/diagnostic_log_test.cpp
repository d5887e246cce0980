// The process-wide diagnostic log: closed it does nothing, open it appends lines.
#include "downloader/diagnostic_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> readLines(const fs::path& path) {
    std::ifstream in(path);  // text mode: a CR LF line end reads back as one "\n"
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_dir = fs::temp_directory_path() / ("vorlane-log-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        fs::create_directories(m_dir);
        closeDiagnosticLog();
    }
    void TearDown() override {
        // Later tests expect the product's state: the log closed.
        closeDiagnosticLog();
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
    std::wstring wide(const fs::path& path) const { return path.wstring(); }

    fs::path m_dir;
};

TEST_F(DiagnosticLogTest, EmptyPathLeavesItClosedAndCreatesNothing) {
    const auto cwdBefore = std::distance(fs::directory_iterator(fs::current_path()), fs::directory_iterator());
    openDiagnosticLog(L"");
    EXPECT_FALSE(isDiagnosticLogOpen());
    diagnosticLog("dropped");
    diagnosticLogf(logtext::kSaveResult, 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::current_path()), fs::directory_iterator()), cwdBefore);
}

TEST_F(DiagnosticLogTest, MissingDirectoryLeavesItClosed) {
    openDiagnosticLog(wide(m_dir / "missing" / "trace.log"));
    EXPECT_FALSE(isDiagnosticLogOpen());
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

TEST_F(DiagnosticLogTest, OpenLogAppendsEachLineAndFlushesIt) {
    const fs::path file = m_dir / "trace.log";
    openDiagnosticLog(wide(file));
    ASSERT_TRUE(isDiagnosticLogOpen());
    diagnosticLog(logtext::kBeginDownload);
    // Read while the log is still open: every line must already be in the file.
    EXPECT_EQ(readLines(file), (std::vector<std::string>{"beginDownload()"}));
    diagnosticLog(logtext::kDownload);
    EXPECT_EQ(readLines(file), (std::vector<std::string>{"beginDownload()", "Downloader::download()"}));
}

TEST_F(DiagnosticLogTest, OpeningAppendsToWhatTheFileHolds) {
    const fs::path file = m_dir / "trace.log";
    std::ofstream(file) << "earlier\n";
    openDiagnosticLog(wide(file));
    diagnosticLog("later");
    EXPECT_EQ(readLines(file), (std::vector<std::string>{"earlier", "later"}));
}

TEST_F(DiagnosticLogTest, FailedOrEmptyReopenKeepsTheOpenLog) {
    const fs::path file = m_dir / "trace.log";
    openDiagnosticLog(wide(file));
    openDiagnosticLog(L"");  // a second Downloader with its empty path
    openDiagnosticLog(wide(m_dir / "missing" / "other.log"));
    EXPECT_TRUE(isDiagnosticLogOpen());
    diagnosticLog("still here");
    EXPECT_EQ(readLines(file), (std::vector<std::string>{"still here"}));
}

TEST_F(DiagnosticLogTest, NonAsciiLogPath) {
    const std::wstring file = m_dir.wstring() + L"/\u0436\u0443\u0440\u043d\u0430\u043b \U0001F600.log";
    openDiagnosticLog(file);
    ASSERT_TRUE(isDiagnosticLogOpen());
    diagnosticLog("x");
    EXPECT_EQ(readLines(platform::nativePath(file)), (std::vector<std::string>{"x"}));
}

struct FormatCase {
    const char* name;
    std::string expected;
    std::function<void()> log;
};

class DiagnosticLogFormat : public DiagnosticLogTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(DiagnosticLogFormat, WritesTheFormattedLine) {
    const fs::path file = m_dir / "trace.log";
    openDiagnosticLog(wide(file));
    GetParam().log();
    EXPECT_EQ(readLines(file), (std::vector<std::string>{GetParam().expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DiagnosticLogFormat,
    ::testing::Values(
        FormatCase{"BoolAsDigit", "value=1", [] { diagnosticLogf(logtext::kSaveResult, true); }},
        FormatCase{"FailedSave", "value=0", [] { diagnosticLogf(logtext::kSaveResult, false); }},
        FormatCase{"LeadingBlank", " <-- verifyAndSaveDownloadedParts. serverErrorCode=17",
                   [] { diagnosticLogf(logtext::kVerifyEnd, 17); }},
        FormatCase{"EmptyStatus", "Verification error! statusHeader[3]=",
                   [] { diagnosticLogf(logtext::kVerifyStatus, 3, std::string()); }},
        FormatCase{"FourValues", "dump: 2 thread, 14 part, downloadedLength=300000, contentSize=-1",
                   [] { diagnosticLogf(logtext::kDumpWorker, 2, 14, 300000, -1); }},
        FormatCase{"MaxFd", "maxfd=-1", [] { diagnosticLogf(logtext::kMaxFd, -1); }},
        FormatCase{"MissingValueDoesNotThrow", "worker[4].current_part=",
                   [] { diagnosticLogf(logtext::kWorkerCurrentPart, 4); }},
        FormatCase{"ExtraValueDoesNotThrow", "errCode1=0", [] { diagnosticLogf(logtext::kErrCode1, 0, 99); }}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(DiagnosticLogTest, LinesFromTwoThreadsStayWhole) {
    const fs::path file = m_dir / "trace.log";
    openDiagnosticLog(wide(file));
    constexpr int kLines = 200;
    auto writer = [](int thread) {
        for (int i = 0; i < kLines; ++i) diagnosticLogf(logtext::kWorkerCurrentPart, thread, i);
    };
    // libstdc++ fills ctype<char>'s narrow cache lazily (an unsynchronised
    // write of the same value, which ThreadSanitizer reports); one format on
    // this thread fills it before the threads start.
    (void)boost::format(logtext::kWorkerCurrentPart);
    std::thread first(writer, 1);
    std::thread second(writer, 2);
    first.join();
    second.join();
    const std::vector<std::string> lines = readLines(file);
    ASSERT_EQ(lines.size(), 2u * kLines);
    int next[3] = {0, 0, 0};
    for (const std::string& line : lines) {
        const int thread = line.rfind("worker[1]", 0) == 0 ? 1 : 2;
        EXPECT_EQ(line, "worker[" + std::to_string(thread) + "].current_part=" + std::to_string(next[thread]++));
    }
}

TEST_F(DiagnosticLogTest, ClosedAgainAfterClose) {
    const fs::path file = m_dir / "trace.log";
    openDiagnosticLog(wide(file));
    diagnosticLog("one");
    closeDiagnosticLog();
    EXPECT_FALSE(isDiagnosticLogOpen());
    diagnosticLog("two");
    EXPECT_EQ(readLines(file), (std::vector<std::string>{"one"}));
}

}  // namespace
