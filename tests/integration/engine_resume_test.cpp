// A second start after an interrupted run: it continues only what it can prove
// belongs to the file served now, fetches only what is missing, and starts
// fresh on every doubt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "downloader/downloader.h"
#include "tests/integration/engine_harness.h"
#include "tests/support/nginx_server.h"
#include "platform/text.h"
#include "downloader/header_record.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::TempDir;

constexpr std::int32_t kSize = 20 * kPart + 123;

std::string probeValidator(const std::string& url) {
    HeaderList headers;
    std::string error;
    EXPECT_EQ(requestHeaders(url, {}, {}, headers, error), CURLE_OK) << error;
    return responseValidator(headers);
}

// Body bytes nginx sent for every request in its access log.
std::int64_t bytesServed(const NginxServer& server) {
    static const std::regex status(R"re(" (\d{3}) (\d+) ")re");
    std::int64_t total = 0;
    const std::string log = server.accessLog();
    for (auto it = std::sregex_iterator(log.begin(), log.end(), status); it != std::sregex_iterator(); ++it)
        total += std::stoll((*it)[2].str());
    return total;
}

// A first run from a rate-limited server, stopped once some parts are
// finished; returns the bytes its state claims.
std::int32_t interruptedRun(const NginxServer& server, const fs::path& out) {
    const std::string url = server.url("f.bin");
    Start first(out, url, probeValidator(url), kSize);
    EXPECT_FALSE(first.downloader.prepareStart());
    first.downloader.beginDownload();
    const auto deadline = Clock::now() + 30s;
    while (first.downloader.downloadInfo().completedLength() < 2 * kPart && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    first.downloader.stop();
    EXPECT_FALSE(first.downloader.downloadInfo().isComplete());
    DownloadInfo claimed;
    EXPECT_TRUE(claimed.parse(testsupport::readFileBytes(first.state)));
    return claimed.completedLength();
}

// nginx lets every request send a whole second's worth at once: at 256 KiB/s
// a part takes until the clock's next second, so the first run is stopped
// a second before it could finish (at 1 MiB/s every part went out at once,
// and a loaded machine let the run finish before the stop).
NginxOptions slowServer(const std::string& directives = "") {
    NginxOptions options;
    options.limitRate = "256k";
    options.serverDirectives = directives;
    return options;
}

struct RunCase {
    const char* name;
    std::string serverDirectives;
    bool replaceBetweenRuns;
};

class EngineResume : public ::testing::TestWithParam<RunCase> {};

TEST_P(EngineResume, SecondRunContinuesOnlyTheSameVersionAndIsByteExact) {
    const RunCase& c = GetParam();
    TempDir root, out;
    testsupport::writeRandomFile(root / "f.bin", kSize, 111);
    NginxServer server(root.path(), slowServer(c.serverDirectives));
    const std::int32_t claimed = interruptedRun(server, out.path());
    ASSERT_GT(claimed, 0);
    const std::int64_t servedBefore = bytesServed(server);

    if (c.replaceBetweenRuns) {
        // Same size, other bytes, another modification time: another version.
        testsupport::writeRandomFile(root / "f.bin", kSize, 112);
        fs::last_write_time(root / "f.bin", fs::last_write_time(root / "f.bin") + std::chrono::hours(1));
    }
    const std::string url = server.url("f.bin");
    Start second(out.path(), url, probeValidator(url), kSize);
    EXPECT_EQ(second.downloader.prepareStart(), !c.replaceBetweenRuns);
    second.downloader.beginDownload();
    while (second.downloader.isDownloading()) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(second.downloader.downloadInfo().isComplete());
    EXPECT_EQ(testsupport::sha256OfFile(second.dest), testsupport::sha256OfFile(root / "f.bin"));
    if (c.replaceBetweenRuns) {
        EXPECT_GE(bytesServed(server) - servedBefore, kSize);
    } else {
        EXPECT_LE(bytesServed(server) - servedBefore, kSize - claimed);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, EngineResume,
                         ::testing::Values(RunCase{"ETag", "", false}, RunCase{"LastModifiedOnly", "etag off;\n", false},
                                           RunCase{"ReplacedOnTheServer", "", true}),
                         [](const auto& info) { return std::string(info.param.name); });

void flipByteAt(const fs::path& path, std::size_t offset) {
    std::string bytes = testsupport::readFileBytes(path);
    bytes.at(offset) ^= 0x01;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(EngineResume, EveryFailingConditionStartsFresh) {
    TempDir root, out;
    testsupport::writeRandomFile(root / "f.bin", kSize, 113);
    NginxServer server(root.path(), slowServer());
    ASSERT_GT(interruptedRun(server, out.path()), 0);
    const std::string url = server.url("f.bin");
    const std::string validator = probeValidator(url);
    const fs::path dest = out / "out.bin", state = out / "out.bin.state", record = out / "out.bin.state.validator";
    const std::string keptDest = testsupport::readFileBytes(dest), keptState = testsupport::readFileBytes(state),
                      keptRecord = testsupport::readFileBytes(record);
    // Field offsets: suffix and tag are empty, then the UTF-16 path.
    const std::size_t sizesAt = 12 + 2 * platform::toUtf16(dest.wstring()).size();
    const std::size_t firstPartAt = sizesAt + 12 + 4 * 12;

    struct Case {
        const char* name;
        std::function<void()> change;
        std::string url, validator;
        std::int32_t size;
        bool mayContinue;
        bool continues;
    };
    auto write = [](const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    };
    const std::vector<Case> cases = {
        {"unchanged", [] {}, url, validator, kSize, true, true},
        {"asked fresh", [] {}, url, validator, kSize, false, false},
        {"state short", [&] { write(state, keptState.substr(0, keptState.size() - 1)); }, url, validator, kSize, true, false},
        {"state trailing", [&] { write(state, keptState + "x"); }, url, validator, kSize, true, false},
        {"state file size", [&] { flipByteAt(state, sizesAt + 4); }, url, validator, kSize, true, false},
        {"state worker count", [&] { flipByteAt(state, sizesAt + 8); }, url, validator, kSize, true, false},
        {"part out of range", [&] { flipByteAt(state, firstPartAt + 3); }, url, validator, kSize, true, false},
        // Still a well-formed state of this download (worker 0's kept count),
        // but not the one its record was written with.
        {"state edited after its record", [&] { flipByteAt(state, sizesAt + 12); }, url, validator, kSize, true, false},
        {"other url", [] {}, url + "?v=2", validator, kSize, true, false},
        {"other size probed", [] {}, url, validator, kSize + 1, true, false},
        {"dest short", [&] { write(dest, keptDest.substr(1)); }, url, validator, kSize, true, false},
        {"dest missing", [&] { fs::remove(dest); }, url, validator, kSize, true, false},
        {"dest a link", [&] { fs::rename(dest, out / "real.bin"); fs::create_symlink(out / "real.bin", dest); },
         url, validator, kSize, true, false},
        {"dest hard-linked", [&] { fs::create_hard_link(dest, out / "second.bin"); }, url, validator, kSize, true, false},
        {"record missing", [&] { fs::remove(record); }, url, validator, kSize, true, false},
        {"other version", [] {}, url, "\"0-0\"", kSize, true, false},
        {"weak etag", [&] { write(record, "W/" + validator); }, url, "W/" + validator, kSize, true, false},
        {"no validator", [&] { write(record, ""); }, url, "", kSize, true, false},
        // Another copy started for a new version of the same size and recorded
        // it; the first copy's later save put back a state claiming old parts.
        {"record of another state",
         [&] {
             Start other(out.path(), url, "\"v2\"", kSize);
             other.downloader.prepareStart(false);
             write(state, keptState);
         },
         url, "\"v2\"", kSize, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const fs::path& extra : {out / "real.bin", out / "second.bin"}) fs::remove(extra);
        fs::remove(dest);
        write(dest, keptDest);
        write(state, keptState);
        write(record, keptRecord);
        c.change();
        Start start(out.path(), c.url, c.validator, c.size);
        EXPECT_EQ(start.downloader.prepareStart(c.mayContinue), c.continues);
        DownloadInfo saved;
        ASSERT_TRUE(saved.parse(testsupport::readFileBytes(state)));
        // A fresh start claims nothing and records the version it fetches
        // beside the state it saved.
        EXPECT_EQ(saved.completedLength() > 0, c.continues);
        if (!c.continues) {
            EXPECT_EQ(testsupport::readFileBytes(record),
                      c.validator + "\n" + testsupport::sha256OfBytes(testsupport::readFileBytes(state)));
        }
    }
}

// The run that finishes a download records its file's digest; a later start
// starts it again without fetching only while the file still hashes to it.
TEST(EngineResume, AFinishedDownloadIsReusedOnlyWhileItHashesToItsRecord) {
    TempDir root, out;
    testsupport::writeRandomFile(root / "f.bin", kSize, 114);
    NginxServer server(root.path(), NginxOptions{});
    const std::string url = server.url("f.bin");
    const std::string served = testsupport::sha256OfFile(root / "f.bin");
    const auto run = [](Start& start, bool mayContinue, bool continues) {
        EXPECT_EQ(start.downloader.prepareStart(mayContinue), continues);
        start.downloader.beginDownload();
        EXPECT_TRUE(start.downloader.waitForEnd(60s));
        EXPECT_TRUE(start.downloader.downloadInfo().isComplete());
        const platform::File held = start.downloader.takeCompletedFile();
        EXPECT_TRUE(start.downloader.completedFileMatchesRecord(held));
    };
    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped);
        Start first(out.path(), url, probeValidator(url), kSize);
        run(first, false, false);
        EXPECT_EQ(testsupport::readFileBytes(out / "out.bin.state.validator"),
                  first.downloader.validator() + "\n" + testsupport::sha256OfFile(first.state) + "\n" + served);

        // Another file of the same size in its place.
        if (swapped) testsupport::writeRandomFile(first.dest, kSize, 115);
        const std::int64_t servedBefore = bytesServed(server);
        Start second(out.path(), url, probeValidator(url), kSize);
        run(second, true, !swapped);
        EXPECT_EQ(testsupport::sha256OfFile(second.dest), served);
        // nginx logs a response once it is out, a moment after the client has it.
        const auto deadline = Clock::now() + 5s;
        while (swapped && bytesServed(server) - servedBefore < kSize && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(bytesServed(server) - servedBefore >= kSize, swapped);
    }
}

}  // namespace
}  // namespace enginetest
