// Arming workers with byte ranges, the write callback's acceptance rules, the
// Content-Range check, the worker header function and the wait-time rule.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "downloader/header_record.h"
#include "downloader/transfer_handles.h"

namespace {

DownloadInfo infoOfSize(std::int32_t fileSize) {
    DownloadInfo info;
    info.setFileSize(fileSize);
    info.setPartSize(0);
    info.setMaxWorkers(0);
    info.setUrls({"http://127.0.0.1:9/file"});
    info.setFilePath(L"unused.bin");
    return info;
}

// A run whose handles are configured but never performed.
class IdleRun {
public:
    IdleRun(Downloader& owner, std::int32_t workers) {
        run.workers = transfer::createWorkerRecords(&owner, workers, DownloadInfo::kPartSize);
        created = transfer::createTransferHandles(run, "http://127.0.0.1:9/file", ProxySettings{});
    }
    transfer::TransferRun run;
    bool created = false;
};

TEST(TransferRecords, NewWorkerRecordHasNoPartAndAFullSizeBuffer) {
    Downloader owner;
    const Downloader::UserPDataList records = transfer::createWorkerRecords(&owner, 3, DownloadInfo::kPartSize);
    ASSERT_EQ(records.size(), 3u);
    for (std::int32_t w = 0; w < 3; ++w) {
        const auto& record = *records[static_cast<std::size_t>(w)];
        EXPECT_EQ(record.owner, &owner);
        EXPECT_EQ(record.workerIndex, w);
        EXPECT_EQ(record.partIndex, -1);
        EXPECT_EQ(record.downloadedLength, 0);
        EXPECT_TRUE(record.headers.empty());
        EXPECT_EQ(record.statusHeader, HeaderRecord{});
        EXPECT_EQ(record.bufferCapacity, 524288);
        ASSERT_TRUE(record.buffer);
    }
    // Every worker gets a buffer of its own.
    EXPECT_NE(records[0]->buffer.get(), records[1]->buffer.get());
}

struct ArmCase {
    const char* name;
    std::int32_t fileSize;
    std::int32_t part;
    std::int32_t kept;
    const char* range;
    std::int32_t expectedLength;
    std::int32_t downloadedLength;
};

class ArmWorker : public testing::TestWithParam<ArmCase> {};

TEST_P(ArmWorker, SetsTheRangeAndResetsTheRecord) {
    const ArmCase& c = GetParam();
    Downloader owner;
    owner.setDownloadInfo(infoOfSize(c.fileSize));
    IdleRun r(owner, 1);
    ASSERT_TRUE(r.created);
    auto& record = *r.run.workers[0];
    // Left-overs of an earlier part that arming must clear.
    record.headers = {{HK_Status, "206"}, {HK_ContentLength, "9"}};
    record.statusHeader = {HK_Status, "206"};
    record.contentSize = 9;
    record.contentRange = "bytes 0-8/9";

    transfer::armWorker(r.run, owner.downloadInfo(), 0, c.part, c.kept);

    EXPECT_EQ(r.run.rangeTexts[0], c.range);
    EXPECT_EQ(record.expectedLength, c.expectedLength);
    EXPECT_EQ(record.downloadedLength, c.downloadedLength);
    EXPECT_EQ(record.partIndex, c.part);
    EXPECT_EQ(record.contentSize, 0);
    EXPECT_TRUE(record.headers.empty());
    EXPECT_EQ(record.statusHeader, HeaderRecord{});
    EXPECT_TRUE(record.contentRange.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ArmWorker,
    testing::Values(ArmCase{"FirstPart", 1000000, 0, 0, "0-524287", 524288, 0},
                    ArmCase{"ShortLastPart", 1000000, 1, 0, "524288-999999", 475712, 0},
                    ArmCase{"LastPartWithKeptBytes", 1000000, 1, 1000, "525288-999999", 474712, 1000},
                    ArmCase{"WholeFileInOnePart", 524288, 0, 0, "0-524287", 524288, 0},
                    ArmCase{"OneByteLastPart", 1048577, 2, 0, "1048576-1048576", 1, 0},
                    ArmCase{"LargestFileLastPart", 2147483647, 4095, 0, "2146959360-2147483646", 524287, 0},
                    // Kept counts that cannot be a start of the part are not honoured.
                    ArmCase{"KeptWholePartIgnored", 1000000, 1, 475712, "524288-999999", 475712, 0},
                    ArmCase{"NegativeKeptIgnored", 1000000, 0, -5, "0-524287", 524288, 0}),
    [](const testing::TestParamInfo<ArmCase>& info) { return info.param.name; });

TEST(ArmWorkerBuffer, ABufferCutToAShortPartGrowsAndKeepsItsBytes) {
    Downloader owner;
    owner.setDownloadInfo(infoOfSize(3 * 524288));
    IdleRun r(owner, 1);
    ASSERT_TRUE(r.created);
    auto& record = *r.run.workers[0];
    record.buffer = makeSharedBytes(4);
    std::memcpy(record.buffer.get(), "abcd", 4);
    record.bufferCapacity = 4;

    transfer::armWorker(r.run, owner.downloadInfo(), 0, 1, 4);

    EXPECT_GE(record.bufferCapacity, 524288);
    EXPECT_EQ(std::string(record.buffer.get(), 4), "abcd");
    EXPECT_EQ(record.downloadedLength, 4);
}

// The worker of part 1 of a 1000000-byte file, armed with nothing kept: the
// Range asks for 475712 bytes.
struct WriteCase {
    const char* name;
    const char* status;
    std::int32_t contentSize;
    const char* contentRange;
    std::int32_t alreadyHeld;
    std::int32_t chunk;
    bool taken;
};

class WriteCallback : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteCallback, TakesAChunkWholeOrNotAtAll) {
    const WriteCase& c = GetParam();
    Downloader owner;
    owner.setDownloadInfo(infoOfSize(1000000));
    IdleRun r(owner, 1);
    ASSERT_TRUE(r.created);
    transfer::armWorker(r.run, owner.downloadInfo(), 0, 1, 0);
    auto& record = *r.run.workers[0];
    record.statusHeader = {HK_Status, c.status};
    record.contentSize = c.contentSize;
    record.contentRange = c.contentRange;
    record.downloadedLength = c.alreadyHeld;
    std::memset(record.buffer.get(), '.', static_cast<std::size_t>(record.bufferCapacity));

    std::string chunk(static_cast<std::size_t>(c.chunk), 'x');
    const std::size_t result = transfer::writeCallback(chunk.data(), 1, chunk.size(), &record);

    if (c.taken) {
        EXPECT_EQ(result, chunk.size());
        EXPECT_EQ(record.downloadedLength, c.alreadyHeld + c.chunk);
        EXPECT_EQ(std::string(record.buffer.get() + c.alreadyHeld, chunk.size()), chunk);
    } else {
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(record.downloadedLength, c.alreadyHeld);
    }
    // Nothing is ever stored before the held bytes or past the chunk.
    if (c.alreadyHeld > 0) {
        EXPECT_EQ(record.buffer.get()[c.alreadyHeld - 1], '.');
    }
    EXPECT_EQ(record.buffer.get()[c.alreadyHeld + (c.taken ? c.chunk : 0)], '.');
}

INSTANTIATE_TEST_SUITE_P(
    Rules, WriteCallback,
    testing::Values(WriteCase{"Partial206", "206", 475712, "", 0, 1000, true},
                    WriteCase{"RangeIgnored200", "200", 475712, "", 0, 1000, false},
                    WriteCase{"ErrorPage", "404", 475712, "", 0, 1000, false},
                    WriteCase{"NoStatusYet", "", 475712, "", 0, 1000, false},
                    WriteCase{"OtherContentLength", "206", 475711, "", 0, 1000, false},
                    WriteCase{"NoContentLength", "206", 0, "", 0, 1000, false},
                    WriteCase{"ChunkOverflowsPartRefusedWhole", "206", 475712, "", 475000, 1000, false},
                    WriteCase{"ChunkFillsPartExactly", "206", 475712, "", 474712, 1000, true},
                    WriteCase{"MatchingContentRange", "206", 475712, "bytes 524288-999999/1000000", 0, 1000, true},
                    WriteCase{"UnknownTotalAccepted", "206", 475712, "bytes 524288-999999/*", 0, 1000, true},
                    WriteCase{"ForeignBytes", "206", 475712, "bytes 0-475711/1000000", 0, 1000, false},
                    WriteCase{"ForeignFileSize", "206", 475712, "bytes 524288-999999/2000000", 0, 1000, false},
                    WriteCase{"UnreadableContentRange", "206", 475712, "pages 1-2/3", 0, 1000, false}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST(WriteCallbackKeptBytes, ARangeAfterKeptBytesIsJudgedFromThem) {
    Downloader owner;
    owner.setDownloadInfo(infoOfSize(1000000));
    IdleRun r(owner, 1);
    ASSERT_TRUE(r.created);
    transfer::armWorker(r.run, owner.downloadInfo(), 0, 1, 1000);
    auto& record = *r.run.workers[0];
    record.statusHeader = {HK_Status, "206"};
    record.contentSize = 474712;
    std::string chunk(10, 'k');

    record.contentRange = "bytes 524288-999999/1000000";  // the whole part: not what was asked
    EXPECT_EQ(transfer::writeCallback(chunk.data(), 1, chunk.size(), &record), 0u);
    record.contentRange = "bytes 525288-999999/1000000";
    EXPECT_EQ(transfer::writeCallback(chunk.data(), 1, chunk.size(), &record), chunk.size());
    EXPECT_EQ(record.downloadedLength, 1010);
}

std::size_t feed(Downloader::UserPData& record, std::string line) {
    return transfer::partHeaderCallback(line.data(), 1, line.size(), &record);
}

TEST(PartHeaderCallback, KeepsTheFinalResponsesContentRangeBesideTheRecords) {
    Downloader::UserPData record;
    EXPECT_EQ(feed(record, "HTTP/1.1 302 Found\r\n"), 20u);
    feed(record, "Content-Range: bytes 0-1/2\r\n");
    feed(record, "Content-Length: 7\r\n");
    feed(record, "\r\n");
    EXPECT_EQ(record.contentRange, "bytes 0-1/2");
    feed(record, "HTTP/1.1 206 Partial Content\r\n");
    EXPECT_TRUE(record.contentRange.empty()) << "a new response starts without a range";
    feed(record, "CONTENT-RANGE:   bytes 5-9/10  \r\n");
    feed(record, "\r\n");

    EXPECT_EQ(record.contentRange, "bytes 5-9/10");
    EXPECT_EQ(record.statusHeader, (HeaderRecord{HK_Status, "206"}));
    EXPECT_EQ(record.contentSize, 0) << "the redirect's own length is not the part's";
    ASSERT_EQ(record.headers.size(), 3u);
    EXPECT_EQ(record.headers[1], HeaderRecord{}) << "the range line stays an ordinary record";
}

struct ContentRangeCase {
    const char* value;
    bool valid;
    std::int64_t first, last, total;
};

class ParseContentRange : public testing::TestWithParam<ContentRangeCase> {};

TEST_P(ParseContentRange, ReadsBytesFirstLastTotal) {
    const ContentRangeCase& c = GetParam();
    const auto range = transfer::parseContentRange(c.value);
    ASSERT_EQ(range.has_value(), c.valid) << c.value;
    if (!range) return;
    EXPECT_EQ(range->first, c.first);
    EXPECT_EQ(range->last, c.last);
    EXPECT_EQ(range->total, c.total);
}

INSTANTIATE_TEST_SUITE_P(Values, ParseContentRange,
                         testing::Values(ContentRangeCase{"bytes 0-524287/1000000", true, 0, 524287, 1000000},
                                         ContentRangeCase{"Bytes 5-9/*", true, 5, 9, -1},
                                         ContentRangeCase{"  bytes   1-1/2 ", true, 1, 1, 2},
                                         ContentRangeCase{"bytes */1000", false, 0, 0, 0},
                                         ContentRangeCase{"bytes 9-5/10", false, 0, 0, 0},
                                         ContentRangeCase{"bytes -5-9/10", false, 0, 0, 0},
                                         ContentRangeCase{"bytes 5-9", false, 0, 0, 0},
                                         ContentRangeCase{"bytes 5-9/1x", false, 0, 0, 0},
                                         ContentRangeCase{"bytes 0-99999999999999999999/1", false, 0, 0, 0},
                                         ContentRangeCase{"", false, 0, 0, 0}));

struct WaitCase {
    long curlTimeout;
    long wait;
};

class WaitTime : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitTime, FollowsLibcurlUpToOneWholeSecond) {
    EXPECT_EQ(transfer::waitTimeMilliseconds(GetParam().curlTimeout), GetParam().wait);
}

INSTANTIATE_TEST_SUITE_P(Values, WaitTime,
                         testing::Values(WaitCase{-1, 1000}, WaitCase{0, 1000}, WaitCase{1, 1},
                                         WaitCase{999, 999}, WaitCase{1500, 1500}, WaitCase{1999, 1999},
                                         WaitCase{2000, 1000}, WaitCase{2500, 1000}, WaitCase{600000, 1000}));

// Worker 0 fetches part 0: 100 ms of bytes, then a last look `step` bytes
// later, `left` bytes short of its end; worker 1 is idle, just begun (no rate
// yet) or begun and gone idle.
struct PaceCase {
    const char* name;
    std::int32_t left;
    std::int32_t step;
    long boundMilliseconds;
    enum { kNone, kFresh, kFreshThenIdle } other;
    bool nextPart;       // worker 0 then begins part 1
    int overrunsOf20Ms;  // earlier 4 ms pauses that took 20 ms
    long pauseMicroseconds;
};

constexpr std::int32_t kPaceLength = 524288;
const auto kPaceStart = transfer::ReadPacing::Clock::now();

void feedSteadyPart(transfer::ReadPacing& pacing, std::int32_t left, std::int32_t step) {
    using namespace std::chrono_literals;
    pacing.observe(kPaceStart, 0, 0, 0, kPaceLength);
    pacing.observe(kPaceStart + 1ms, 0, 0, 4096, kPaceLength);
    pacing.observe(kPaceStart + 100ms, 0, 0, kPaceLength - left - step, kPaceLength);
    pacing.observe(kPaceStart + 101ms, 0, 0, kPaceLength - left, kPaceLength);
}

class Pacing : public testing::TestWithParam<PaceCase> {};

TEST_P(Pacing, PausesOnlyWhileEveryTransferIsKnownSlowAndFarFromItsEnd) {
    const PaceCase& c = GetParam();
    using namespace std::chrono;
    transfer::ReadPacing pacing;
    feedSteadyPart(pacing, c.left, c.step);
    if (c.nextPart) pacing.observe(kPaceStart + 102ms, 0, 1, 0, kPaceLength);
    if (c.other != PaceCase::kNone) pacing.observe(kPaceStart + 102ms, 1, 7, 100, kPaceLength);
    if (c.other == PaceCase::kFreshThenIdle) pacing.idle(1);
    for (int i = 0; i < c.overrunsOf20Ms; ++i) pacing.paused(4ms, 20ms);
    const auto pause = pacing.pause(milliseconds(c.boundMilliseconds));
    EXPECT_NEAR(static_cast<double>(pause.count()), static_cast<double>(c.pauseMicroseconds), 2.0) << c.name;
}

// Rates: (524288 - left - 4096) bytes in 100 ms; half the expected end is the
// longest pause that cannot run past it.
INSTANTIATE_TEST_SUITE_P(
    Values, Pacing,
    testing::Values(PaceCase{"far from the end", 300000, 1000, 1000, PaceCase::kNone, false, 0, 4000},
                    PaceCase{"within the wait", 300000, 1000, 2, PaceCase::kNone, false, 0, 2000},
                    PaceCase{"libcurl wants to act now", 300000, 1000, 0, PaceCase::kNone, false, 0, 0},
                    PaceCase{"a fast link brings plenty", 300000, 40000, 1000, PaceCase::kNone, false, 0, 0},
                    PaceCase{"near the end", 8000, 1000, 1000, PaceCase::kNone, false, 0, 781},
                    PaceCase{"too near for a pause", 2000, 1000, 1000, PaceCase::kNone, false, 0, 0},
                    PaceCase{"another transfer's rate unknown", 300000, 1000, 1000, PaceCase::kFresh, false, 0, 0},
                    PaceCase{"an idle worker does not count", 300000, 1000, 1000, PaceCase::kFreshThenIdle, false,
                             0, 4000},
                    PaceCase{"the next part keeps the rate", 8000, 1000, 1000, PaceCase::kNone, true, 0, 4000},
                    PaceCase{"a coarse timer shortens the pause", 30000, 1000, 1000, PaceCase::kNone, false, 1, 0},
                    PaceCase{"no overrun, the same pause", 30000, 1000, 1000, PaceCase::kNone, false, 0, 3060}));

TEST(PacingRate, AFasterNewTransferOutweighsTheEarlierRateAtOnce) {
    using namespace std::chrono;
    transfer::ReadPacing pacing;
    feedSteadyPart(pacing, 300000, 1000);  // about 2.2 MB/s
    // Part 1 of 60000 bytes comes at 20 MB/s: 39000 bytes left are 1.95 ms away.
    pacing.observe(kPaceStart + 102ms, 0, 1, 0, 60000);
    pacing.observe(kPaceStart + 103ms, 0, 1, 1000, 60000);
    pacing.observe(kPaceStart + 104ms, 0, 1, 21000, 60000);
    EXPECT_NEAR(static_cast<double>(pacing.pause(milliseconds(1000)).count()), 975.0, 2.0);
}

TEST(ProxyAddress, IsHostColonPortTextUnchanged) {
    ProxySettings proxy;
    proxy.host = "10.0.0.1";
    proxy.port = "8080";
    EXPECT_EQ(transfer::proxyAddress(proxy), "10.0.0.1:8080");
    proxy.port = "0808";
    EXPECT_EQ(transfer::proxyAddress(proxy), "10.0.0.1:0808");
}

TEST(RangeText, IsPlainDecimalFirstDashLast) {
    EXPECT_EQ(transfer::formatRange(524288, 1048575), "524288-1048575");
    EXPECT_EQ(transfer::formatRange(0, 0), "0-0");
}

}  // namespace

TEST(TlsRules, BestEffortRevocationOnWindowsAndNoRedirectFromHttpsToHttp) {
    const struct {
        const char* url;
        const char* protocols;
    } cases[] = {
        {"https://h.example/f", "https"}, {"HTTPS://h.example/f", "https"}, {"http://h.example/f", "http,https"}};
    for (const auto& c : cases) {
        const transfer::TlsRules rules = transfer::tlsRules(c.url);
        EXPECT_STREQ(rules.redirectProtocols, c.protocols) << c.url;
#ifdef _WIN32
        EXPECT_EQ(rules.sslOptions, CURLSSLOPT_REVOKE_BEST_EFFORT) << c.url;
#else
        EXPECT_EQ(rules.sslOptions, 0) << c.url;
#endif
        // The libcurl this build links takes both options (an unknown one
        // would be refused, and the rule silently lost).
        const curlh::EasyHandle handle(curl_easy_init());
        ASSERT_TRUE(handle);
        EXPECT_EQ(curl_easy_setopt(handle.get(), CURLOPT_REDIR_PROTOCOLS_STR, rules.redirectProtocols), CURLE_OK);
        if (rules.sslOptions != 0) {
            EXPECT_EQ(curl_easy_setopt(handle.get(), CURLOPT_SSL_OPTIONS, rules.sslOptions), CURLE_OK) << c.url;
        }
    }
}
