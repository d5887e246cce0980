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
                      LineCase{"NoBlankLosesFirstChar", "content-length:524288", HK_ContentLength, "24288"},
                      LineCase{"TwoBlanksKeepOne", "Content-Length:  5", HK_ContentLength, " 5"},
                      LineCase{"EndsAtColon", "Content-Length:", HK_ContentLength, ""},
                      LineCase{"EndsOneAfterColon", "Content-Length: ", HK_ContentLength, ""},
                      LineCase{"DispositionStaysWhole", "Content-Disposition: attachment; filename=\"a b.exe\"",
                               HK_ContentDisposition, "attachment; filename=\"a b.exe\""},
                      LineCase{"MessageHash", "X-Message-Hash: abc ", HK_MessageHash, "abc "},
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

TEST(HeaderCallback, KeepsEveryRecordOfARedirectChainInOrder) {
    Downloader::UserPData record = freshRecord();
    for (const char* line : {"HTTP/1.1 302 Found\r\n", "Location: /b\r\n", "Content-Length: 99\r\n", "\r\n",
                             "HTTP/1.1 206 Partial Content\r\n", "Content-Disposition: inline\r\n", "\r\n"}) {
        feed(record, line);
    }
    const HeaderList expected = {{HK_Status, "302"}, {},  {HK_ContentLength, "99"},     {},
                                 {HK_Status, "206"}, {HK_ContentDisposition, "inline"}, {}};
    EXPECT_EQ(record.headers, expected);
    EXPECT_EQ(record.statusHeader, (HeaderRecord{HK_Status, "206"}));
    // Not reset between the responses: the redirect's length stays.
    EXPECT_EQ(record.contentSize, 99);
}

TEST(HeaderCallback, UnrecognisedStatusLineLeavesTheStatusAlone) {
    Downloader::UserPData record = freshRecord();
    feed(record, "HTTP/1.1 206 Partial\r\n");
    feed(record, "HTTP/1.1 200\r\n");
    EXPECT_EQ(record.statusHeader, (HeaderRecord{HK_Status, "206"}));
    EXPECT_EQ(record.headers.size(), 2u);
}

struct LengthCase {
    const char* name;
    std::string line;
    std::int32_t contentSize;
};

class ContentLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ContentLength, IsReadFromTheLeadingDigits) {
    const LengthCase c = GetParam();
    Downloader::UserPData record = freshRecord();
    feed(record, c.line);
    EXPECT_EQ(record.contentSize, c.contentSize);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ContentLength,
    ::testing::Values(LengthCase{"Plain", "Content-Length: 524288\r\n", 524288},
                      LengthCase{"EmptyValue", "Content-Length:\r\n", 0},
                      LengthCase{"NoDigits", "Content-Length: abc\r\n", 0},
                      LengthCase{"TrailingText", "Content-Length: 12abc\r\n", 12},
                      LengthCase{"LeadingBlanksSkipped", "Content-Length:   42\r\n", 42},
                      LengthCase{"Negative", "Content-Length: -5\r\n", -5},
                      LengthCase{"LargestInt", "Content-Length: 2147483647\r\n", 2147483647},
                      LengthCase{"PastIntSaturates", "Content-Length: 2147483648\r\n", 2147483647},
                      LengthCase{"HugeSaturates", "Content-Length: 99999999999999999999999999999\r\n", 2147483647},
                      LengthCase{"HugeNegativeSaturates", "Content-Length: -99999999999999999999\r\n",
                                 -2147483647 - 1},
                      LengthCase{"OtherHeaderLeavesIt", "Content-Range: bytes 0-1/2\r\n", -7}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(HeaderCallback, NullRecordIsTolerated) {
    std::string line = "HTTP/1.1 206 x\r\n";
    EXPECT_EQ(headerCallback(line.data(), 1, line.size(), nullptr), line.size());
}

}  // namespace
