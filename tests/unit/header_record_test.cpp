// Response header lines to typed records, and what the header callback keeps.
#include "downloader/header_record.h"

#include <gtest/gtest.h>

#include <string>

#include "downloader/downloader.h"

namespace {

struct LineCase {
    const char* name;
    std::string line;
    HeaderKind kind;
    std::string value;
};

class ParseHeaderLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseHeaderLine, GivesKindAndValue) {
    const LineCase c = GetParam();
    const HeaderRecord record = parseHeaderLine(c.line);
    EXPECT_EQ(record.kind, c.kind);
    EXPECT_EQ(record.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    StatusLines, ParseHeaderLine,
    ::testing::Values(LineCase{"CodeAndReason", "HTTP/1.1 206 Partial Content", HK_Status, "206"},
                      LineCase{"CodeOnly", "HTTP/1.1 206", HK_Other, ""},
                      LineCase{"CodeAndTrailingBlank", "HTTP/2 200 ", HK_Status, "200"},
                      LineCase{"NotANumber", "HTTP/1.1 OK fine", HK_Other, ""},
                      LineCase{"NumberWithSuffix", "HTTP/1.1 20x Odd", HK_Other, ""},
                      LineCase{"Tabs", "HTTP/1.0\t404\tNot Found", HK_Status, "404"},
                      LineCase{"RunsOfBlanks", "HTTP/1.1  \t 503   Busy", HK_Status, "503"},
                      LineCase{"SignedCode", "HTTP/1.1 +200 OK", HK_Status, "+200"},
                      LineCase{"CodeBeyondInt", "HTTP/1.1 99999999999 X", HK_Other, ""},
                      LineCase{"ProtocolWithoutVersion", "HTTP/ 206 x", HK_Status, "206"},
                      LineCase{"ProtocolOnly", "HTTP/1.1", HK_Other, ""},
                      LineCase{"LowerCaseProtocolIsAHeader", "http/1.1 206 x", HK_Other, ""}),
    [](const auto& param) { return std::string(param.param.name); });

INSTANTIATE_TEST_SUITE_P(
    HeaderLines, ParseHeaderLine,
    ::testing::Values(LineCase{"ContentLength", "Content-Length: 524288", HK_ContentLength, "524288"},
                      LineCase{"UpperCaseName", "CONTENT-LENGTH: 17", HK_ContentLength, "17"},
                      LineCase{"NoBlankAfterColon", "content-length:1500000", HK_ContentLength, "1500000"},
                      LineCase{"BlanksAndTabsTrimmed", "Content-Length: \t 5 \t", HK_ContentLength, "5"},
                      LineCase{"EndsAtColon", "Content-Length:", HK_ContentLength, ""},
                      LineCase{"EndsOneAfterColon", "Content-Length: ", HK_ContentLength, ""},
                      LineCase{"DispositionStaysWhole", "Content-Disposition: attachment; filename=\"a b.exe\"",
                               HK_ContentDisposition, "attachment; filename=\"a b.exe\""},
                      LineCase{"MessageHash", "X-Message-Hash:abc ", HK_MessageHash, "abc"},
                      LineCase{"InnerBlanksStay", "Last-Modified:\tTue, 01 Jan 2030 ", HK_LastModified,
                               "Tue, 01 Jan 2030"},
                      LineCase{"ETag", "ETag: \"5f-1e8480\"", HK_ETag, "\"5f-1e8480\""},
                      LineCase{"MessageError", "x-message-error: e", HK_MessageError, "e"},
                      LineCase{"LastModified", "Last-Modified: Tue, 01 Jan 2030 00:00:00 GMT", HK_LastModified,
                               "Tue, 01 Jan 2030 00:00:00 GMT"},
                      LineCase{"ValueKeepsLaterColons", "Last-Modified: 10:20:30", HK_LastModified, "10:20:30"},
                      LineCase{"Unknown", "Content-Range: bytes 0-1/2", HK_Other, ""},
                      LineCase{"BlankBeforeColonIsAnotherName", "Content-Length : 5", HK_Other, ""},
                      LineCase{"NoColon", "garbage", HK_Other, ""},
                      LineCase{"Empty", "", HK_Other, ""},
                      LineCase{"ColonFirst", ": 5", HK_Other, ""}),
    [](const auto& param) { return std::string(param.param.name); });

Downloader::UserPData freshRecord() {
    Downloader::UserPData record;
    record.contentSize = -7;  // shows whether a line touched it
    return record;
}

std::size_t feed(Downloader::UserPData& record, std::string line) {
    return headerCallback(line.data(), 1, line.size(), &record);
}

TEST(HeaderCallback, ReturnsEveryByteItWasGiven) {
    Downloader::UserPData record;
    std::string line = "HTTP/1.1 206 Partial\r\n";
    EXPECT_EQ(headerCallback(line.data(), 2, line.size() / 2, &record), line.size());
    EXPECT_EQ(headerCallback(line.data(), 1, 0, &record), 0u);
}

TEST(HeaderCallback, StripsLineEndsWhereverTheyStand) {
    Downloader::UserPData record;
    feed(record, "Content-\rLength: 1\n2\r\n");
    ASSERT_EQ(record.headers.size(), 1u);
    EXPECT_EQ(record.headers[0], (HeaderRecord{HK_ContentLength, "12"}));
    EXPECT_EQ(record.contentSize, 12);
}

TEST(HeaderCallback, EveryStatusLineStartsANewResponse) {
    Downloader::UserPData record = freshRecord();
    record.contentRange = "bytes 0-1/2";
    for (const char* line : {"HTTP/1.1 302 Found\r\n", "Location: /b\r\n", "Content-Length: 145\r\n",
                             "ETag: \"old\"\r\n", "\r\n", "HTTP/1.1 206 Partial Content\r\n",
                             "Content-Disposition: inline\r\n", "\r\n"}) {
        feed(record, line);
    }
    // Only the final response describes the file: the redirect's own length,
    // range and version are gone.
    const HeaderList expected = {{HK_Status, "206"}, {HK_ContentDisposition, "inline"}, {}};
    EXPECT_EQ(record.headers, expected);
    EXPECT_EQ(record.statusHeader, (HeaderRecord{HK_Status, "206"}));
    EXPECT_EQ(record.contentSize, 0);
    EXPECT_TRUE(record.contentRange.empty());
    EXPECT_EQ(responseValidator(record.headers), "");

    // A status line too odd to read still ends the earlier response: its
    // status must not vouch for the new one.
    feed(record, "HTTP/1.1 200\r\n");
    EXPECT_EQ(record.statusHeader, HeaderRecord{});
    EXPECT_EQ(record.headers, HeaderList{HeaderRecord{}});
}

TEST(ResponseValidator, IsTheETagElseTheLastModified) {
    const HeaderRecord etag{HK_ETag, "\"v1\""};
    const HeaderRecord modified{HK_LastModified, "Tue, 01 Jan 2030 00:00:00 GMT"};
    EXPECT_EQ(responseValidator({{HK_Status, "200"}, modified, etag}), "\"v1\"");
    EXPECT_EQ(responseValidator({modified, {HK_ETag, ""}}), modified.value);
    EXPECT_EQ(responseValidator({{HK_Status, "200"}, {HK_ContentLength, "5"}}), "");
}

struct LengthCase {
    const char* name;
    std::string line;
    std::int32_t contentSize;
};

class ContentLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ContentLength, IsAPlainDecimalNumberOrNone) {
    const LengthCase c = GetParam();
    Downloader::UserPData record = freshRecord();
    feed(record, c.line);
    EXPECT_EQ(record.contentSize, c.contentSize);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ContentLength,
    ::testing::Values(LengthCase{"Plain", "Content-Length: 524288\r\n", 524288},
                      LengthCase{"NoBlank", "Content-Length:1500000\r\n", 1500000},
                      LengthCase{"BlanksAndTabs", "Content-Length:\t 42 \t\r\n", 42},
                      LengthCase{"LeadingZeros", "Content-Length: 007\r\n", 7},
                      LengthCase{"LargestInt", "Content-Length: 2147483647\r\n", 2147483647},
                      // Anything else is no length at all, never a part of one.
                      LengthCase{"EmptyValue", "Content-Length:\r\n", 0},
                      LengthCase{"NoDigits", "Content-Length: abc\r\n", 0},
                      LengthCase{"TrailingText", "Content-Length: 12abc\r\n", 0},
                      LengthCase{"TwoNumbers", "Content-Length: 3 4\r\n", 0},
                      LengthCase{"List", "Content-Length: 5, 5\r\n", 0},
                      LengthCase{"Signed", "Content-Length: +5\r\n", 0},
                      LengthCase{"Negative", "Content-Length: -5\r\n", 0},
                      LengthCase{"PastInt", "Content-Length: 2147483648\r\n", 0},
                      LengthCase{"Huge", "Content-Length: 99999999999999999999999999999\r\n", 0},
                      LengthCase{"OtherHeaderLeavesIt", "Content-Range: bytes 0-1/2\r\n", -7}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(HeaderCallback, NullRecordIsTolerated) {
    std::string line = "HTTP/1.1 206 x\r\n";
    EXPECT_EQ(headerCallback(line.data(), 1, line.size(), nullptr), line.size());
}

}  // namespace
