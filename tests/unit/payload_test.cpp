// The payload block: parsing, key order, value decoding, the six settings,
// reading a file's tail, and the block as the stamp tool writes it.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/payload.h"
#include "config/stamp_block.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Items = std::vector<std::pair<std::string, std::string>>;

Items itemsOf(const PayloadMap& payload) { return {payload.begin(), payload.end()}; }

// A fresh directory under the system temp dir (portable: also runs under Wine).
class ScratchDir {
public:
    ScratchDir() {
        std::random_device entropy;
        m_path = fs::temp_directory_path() / ("vorlane-payload-" + std::to_string(entropy()) + std::to_string(entropy()));
        fs::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
}

std::wstring widePath(const fs::path& path) {
    const std::u8string text = path.u8string();
    return platform::fromUtf8(std::string(text.begin(), text.end()));
}

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char* name;
    std::string tail;
    Items expected;
};

class ParsePayloadTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParsePayloadTest, GivesTheItemsTheProgramReads) {
    EXPECT_EQ(itemsOf(parsePayload(GetParam().tail)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ParsePayloadTest,
    testing::Values(
        ParseCase{"TwoItems", "PayloadInfo:a=1;b=2;", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"ItemWithoutFinalSemicolonIsIgnored", "PayloadInfo:a=1;b=2", {{"a", "1"}}},
        ParseCase{"EmptyItemEndsTheBlock", "PayloadInfo:a=1;;b=2;", {{"a", "1"}}},
        ParseCase{"SemicolonRightAfterMarkerEndsTheBlock", "PayloadInfo:;a=1;", {}},
        ParseCase{"MalformedItemsAreSkipped", "PayloadInfo:novalue;=x;k=;m=a=b;z=9;",
                  {{"k", ""}, {"m", "a=b"}, {"z", "9"}}},
        ParseCase{"LaterDuplicateReplacesEarlier", "PayloadInfo:k=1;k=2;", {{"k", "2"}}},
        ParseCase{"KeysAreCaseSensitive", "PayloadInfo:VID=7;vid=8;", {{"VID", "7"}, {"vid", "8"}}},
        ParseCase{"NoMarker", "a=1;b=2;", {}},
        ParseCase{"MarkerIsCaseSensitive", "payloadinfo:a=1;", {}},
        ParseCase{"TruncatedMarker", "PayloadInfo", {}},
        ParseCase{"MarkerAtTheVeryEnd", "PayloadInfo:", {}},
        ParseCase{"EmptyTail", "", {}},
        ParseCase{"LastMarkerWins", "PayloadInfo:old=1;\x01\x02PayloadInfo:new=2;\0"s, {{"new", "2"}}},
        ParseCase{"MarkerRepeatedBackToBack", "PayloadInfo:PayloadInfo:a=1;", {{"a", "1"}}},
        ParseCase{"MarkerTextInsideTheProgramBeforeTheBlock",
                  "MZ\0\0PayloadInfo:\0\0\x90\x90 more code; x=y;PayloadInfo:vid=15;ap=13;\0"s,
                  {{"ap", "13"}, {"vid", "15"}}},
        // An unstamped program: its own zero-terminated constant is the last marker.
        ParseCase{"ProgramsOwnConstantIsNoBlock", "MZ\0\0PayloadInfo:\0\x90k\x01=\x02;code;"s, {}},
        ParseCase{"TrailingZeroAndBytesAfterTheLastItemIgnored", "PayloadInfo:a=1;\0junk"s, {{"a", "1"}}},
        ParseCase{"RawBytesAreKeptUndecoded", "PayloadInfo:k%41=%41+b;\xD0\x9A=\xFF\0x;"s,
                  {{"k%41", "%41+b"}, {"\xD0\x9A", "\xFF\0x"s}}},
        ParseCase{"SpacesBelongToKeyAndValue", "PayloadInfo: a = 1 ;", {{" a ", " 1 "}}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- key order

TEST(PayloadKeyOrder, IsUnsignedBytewiseWithPrefixesFirst) {
    PayloadMap payload;
    for (const char* key : {"b", "\xC3\xA9", "ab", "~", "a", "B", "\x7F", "z", "a\x80"}) payload[key] = "x";
    std::vector<std::string> keys;
    for (const auto& item : payload) keys.push_back(item.first);
    // 0x7F and 0x80.. sort after every ASCII letter even where char is signed.
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "a\x80", "b", "z", "~", "\x7F", "\xC3\xA9"}));
}

struct KeyPair {
    std::string a;
    std::string b;
    bool aBeforeB;
};

TEST(PayloadKeyOrder, ComparatorIsAStrictOrder) {
    const PayloadKeyLess less;
    const std::vector<KeyPair> cases = {
        {"a", "ab", true}, {"ab", "a", false}, {"a", "a", false}, {"", "a", true},
        {"a", "", false},  {"\x7F", "\x80", true}, {"\x80", "\x7F", false}, {"a\0b"s, "a\0c"s, true},
        {"a\0"s, "a", false},
    };
    for (const KeyPair& pair : cases) {
        EXPECT_EQ(less(pair.a, pair.b), pair.aBeforeB) << testing::PrintToString(pair.a) << " vs "
                                                       << testing::PrintToString(pair.b);
    }
}

// ---------------------------------------------------------------- percentDecode

struct DecodeCase {
    const char* name;
    std::wstring value;
    std::wstring expected;
};

class PercentDecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(PercentDecodeTest, DecodesUnitByUnit) { EXPECT_EQ(percentDecode(GetParam().value), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Values, PercentDecodeTest,
    testing::Values(
        DecodeCase{"PlusAndEscapes", L"a+b%20c%3D", L"a b c="},
        DecodeCase{"TwoEscapes", L"%41%42", L"AB"},
        DecodeCase{"LowerCaseHex", L"%3a%2f%aF", L":/\u00AF"},
        DecodeCase{"EmptyValue", L"", L""},
        DecodeCase{"SingleDigitAtTheEnd", L"%4", std::wstring(1, L'\x4')},
        DecodeCase{"SingleDigitThenNonHexStillTakesThreeUnits", L"%4zq", std::wstring(1, L'\x4') + L"q"},
        DecodeCase{"NoHexPrefixAccepted", L"%0x41", std::wstring(1, L'\0') + L"41"},
        DecodeCase{"NotHexKeepsThePercent", L"%zz", L"%zz"},
        DecodeCase{"PercentAtTheEnd", L"100%", L"100%"},
        DecodeCase{"LonePercent", L"%", L"%"},
        DecodeCase{"PercentBeforeAnEscape", L"%%41", L"%A"},
        DecodeCase{"NoWhitespaceOrSignScanned", L"% 5%-1%+5", L"% 5%-1% 5"},
        DecodeCase{"HighEscapesAreLatin1Units", L"%80%e9%FF", L"\u0080\u00E9\u00FF"},
        DecodeCase{"EscapedUtf8IsNotCombined", L"%D0%9F", L"\u00D0\u009F"},
        DecodeCase{"ZeroEscapeIsOneUnit", L"a%00b", std::wstring(L"a") + L'\0' + L"b"},
        DecodeCase{"DecodedOnlyOnce", L"%2525%2B", L"%25+"},
        DecodeCase{"PlusesAroundEscapedPlus", L"+%2B+", L" + "},
        DecodeCase{"NonAsciiUnitsPassThrough", L"Привет+мир\U0001F600", L"Привет мир\U0001F600"},
        DecodeCase{"PercentBeforeNonAsciiUnit", L"%Ж1", L"%Ж1"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- settings

struct ValueCase {
    const char* name;
    std::string raw;
    std::wstring expected;
};

class DecodePayloadValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(DecodePayloadValueTest, DecodesUtf8ThenForm) {
    PayloadMap payload{{"key", GetParam().raw}, {"other", "1"}};
    EXPECT_EQ(takeSetting(payload, "key"), GetParam().expected);
    EXPECT_EQ(itemsOf(payload), (Items{{"other", "1"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecodePayloadValueTest,
    testing::Values(ValueCase{"Ascii", "15", L"15"},
                    ValueCase{"StampedAddress", "https%3A%2F%2Fa.example%2Fp%3Fx%3D1%26y%3D2",
                              L"https://a.example/p?x=1&y=2"},
                    ValueCase{"RawUtf8", "\xD0\x9F\xD1\x80\xD0\xB8+\xF0\x9F\x98\x80", L"При \U0001F600"},
                    ValueCase{"InvalidByteDropped", "a\xFF" "b", L"ab"},
                    ValueCase{"TruncatedSequenceAtEndDropped", "ab\xE2\x82", L"ab"},
                    ValueCase{"EncodedSurrogateDropped", "a\xED\xA0\x80" "b", L"ab"},
                    ValueCase{"OverlongSlashDropped", "a\xC0\xAF" "b", L"ab"},
                    ValueCase{"EscapeAfterDecodingUtf8", "%C3%A9\xC3\xA9", L"\u00C3\u00A9\u00E9"},
                    ValueCase{"EscapedControlsDropped", "a%0D%0Ab%09c%00d%1Fe%7Ff%80g%9Fh", L"abcdefgh"},
                    ValueCase{"RawControlsDropped", "a\r\n\x7F" "b\xC2\x85" "c\x01", L"abc"},
                    ValueCase{"ControlsNeighboursKept", "%20%7E%A0\xC2\xA0", L" ~\u00A0\u00A0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TakeSetting, MissingKeyGivesEmptyAndLeavesTheMap) {
    PayloadMap payload{{"VID", "7"}, {"a", "1"}};
    EXPECT_EQ(takeSetting(payload, "vid"), L"");
    EXPECT_EQ(itemsOf(payload), (Items{{"VID", "7"}, {"a", "1"}}));
}

TEST(TakeSettings, TakesTheSixKeysAndLeavesTheRestInOrder) {
    PayloadMap payload = parsePayload(
        "PayloadInfo:vid=15;offerUrl=https%3A%2F%2Fo.example%2F;installUrl=https%3A%2F%2Fi.example%2F;"
        "uninstallUrl=u;ap=13;partnerId=p+1;contentType=zip;contentAddress=c%3Bd;silentMode=true;VID=7;\0"s);
    const PayloadSettings settings = takeSettings(payload);
    EXPECT_EQ(settings.vid, L"15");
    EXPECT_EQ(settings.partnerId, L"p 1");
    EXPECT_EQ(settings.contentType, L"zip");
    EXPECT_EQ(settings.contentAddress, L"c;d");
    EXPECT_EQ(settings.offerUrl, L"https://o.example/");
    EXPECT_TRUE(settings.silentMode);
    EXPECT_EQ(itemsOf(payload), (Items{{"VID", "7"}, {"ap", "13"}, {"installUrl", "https%3A%2F%2Fi.example%2F"},
                                       {"uninstallUrl", "u"}}));
}

TEST(TakeSettings, EmptyMapGivesEmptySettings) {
    PayloadMap payload;
    const PayloadSettings settings = takeSettings(payload);
    EXPECT_TRUE(settings.vid.empty() && settings.partnerId.empty() && settings.contentType.empty() &&
                settings.contentAddress.empty() && settings.offerUrl.empty());
    EXPECT_FALSE(settings.silentMode);
}

struct SilentCase {
    std::string raw;
    bool silent;
};

TEST(TakeSettings, SilentModeOnlyForTheDecodedTextTrue) {
    const std::vector<SilentCase> cases = {
        {"true", true},  {"tru%65", true}, {"True", false}, {"TRUE", false}, {"1", false},
        {"true+", false}, {"true%20", false}, {" true", false}, {"", false}, {"yes", false},
    };
    for (const SilentCase& c : cases) {
        PayloadMap payload{{"silentMode", c.raw}};
        EXPECT_EQ(takeSettings(payload).silentMode, c.silent) << c.raw;
        EXPECT_TRUE(payload.empty());
    }
}

// ---------------------------------------------------------------- reading files

TEST(ReadPayloadFromFile, UnreadableOrEmptyFilesGiveAnEmptyMap) {
    ScratchDir dir;
    writeFile(dir / "empty", "");
    EXPECT_TRUE(readPayloadFromFile(L"").empty());
    EXPECT_TRUE(readPayloadFromFile(widePath(dir / "missing")).empty());
    EXPECT_TRUE(readPayloadFromFile(widePath(dir.path())).empty());
    EXPECT_TRUE(readPayloadFromFile(widePath(dir / "empty")).empty());
}

TEST(ReadPayloadFromFile, OpensNonAsciiPaths) {
    ScratchDir dir;
    const fs::path file = dir.path() / fs::path(u8"копия программы \U0001F600.exe");
    writeFile(file, "MZ\0\0"s + "PayloadInfo:vid=15;\0"s);
    EXPECT_EQ(itemsOf(readPayloadFromFile(widePath(file))), (Items{{"vid", "15"}}));
}

TEST(ReadPayloadFromFile, ReadsTheBlockAppendedToARealExecutable) {
    // This test program holds the marker text in its own read-only data, like
    // the product does, well before anything appended to it.
    const std::wstring self = platform::ownExecutablePath();
    ASSERT_FALSE(self.empty());
    ScratchDir dir;
    const fs::path copy = dir / "copy.exe";
    fs::copy_file(platform::nativePath(self), copy);
    const std::string block = buildPayloadBlock({{"vid", "15"}, {"offerUrl", "https://o.example/?a=1"}, {"ap", "13"}});
    {
        std::ofstream out(copy, std::ios::binary | std::ios::app);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    EXPECT_EQ(itemsOf(readPayloadFromFile(widePath(copy))),
              (Items{{"ap", "13"}, {"offerUrl", "https%3A%2F%2Fo.example%2F%3Fa%3D1"}, {"vid", "15"}}));
}

struct TailLimitCase {
    const char* name;
    std::int64_t markerDistanceFromEnd;  // bytes from the marker's first byte to the end of the file
    bool seen;
};

class TailLimitTest : public testing::TestWithParam<TailLimitCase> {};

// Files a little over the limit: sparse on most file systems, so cheap.
TEST_P(TailLimitTest, OnlyTheLast100MiBAreExamined) {
    ScratchDir dir;
    const fs::path file = dir / "large.bin";
    const std::int64_t size = kPayloadTailLimit + 4096;
    const std::string block = "PayloadInfo:far=1;"s;
    {
        std::ofstream out(file, std::ios::binary);
        out.write("PayloadInfo:near=0;", 19);  // always beyond the limit
    }
    fs::resize_file(file, static_cast<std::uintmax_t>(size));
    {
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(size - GetParam().markerDistanceFromEnd);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        ASSERT_TRUE(out.good());
    }
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(file)), size);
    const PayloadMap payload = readPayloadFromFile(widePath(file));
    if (GetParam().seen) {
        EXPECT_EQ(itemsOf(payload), (Items{{"far", "1"}}));
    } else {
        EXPECT_TRUE(payload.empty()) << testing::PrintToString(itemsOf(payload));
    }
}

INSTANTIATE_TEST_SUITE_P(Limit, TailLimitTest,
                         testing::Values(TailLimitCase{"ExactlyAtTheLimit", kPayloadTailLimit, true},
                                         TailLimitCase{"OneByteBeyondTheLimit", kPayloadTailLimit + 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- writing blocks

struct EncodeCase {
    std::string value;
    std::string encoded;
};

TEST(FormEncode, EscapesEveryReservedAsciiByteAndKeepsUtf8) {
    const std::vector<EncodeCase> cases = {
        {"", ""},
        {"AZaz09-_.~", "AZaz09-_.~"},
        {" ;=%+:/?&", "%20%3B%3D%25%2B%3A%2F%3F%26"},
        {"\"'<>\\`", "%22%27%3C%3E%5C%60"},
        {"\x01\t\n\x7F"s, "%01%09%0A%7F"},
        {"\0"s, "%00"},
        {"Привет \xF0\x9F\x98\x80", "Привет%20\xF0\x9F\x98\x80"},
    };
    for (const EncodeCase& c : cases) EXPECT_EQ(formEncode(c.value), c.encoded) << testing::PrintToString(c.value);
}

TEST(FormEncode, EveryValidValueReadsBackAsGiven) {
    // Control characters are dropped on reading (see DecodePayloadValueTest).
    std::string everyAscii;
    for (int byte = 0x20; byte < 0x7F; ++byte) everyAscii.push_back(static_cast<char>(byte));
    const std::vector<std::string> values = {
        "", "15", "a;b", "%", "%41", "+", "a+b", "=", "k=v", "\"quoted\"", "it's", "  spaces  ",
        "PayloadInfo:x=1;", "Привет, мир", "\xF0\x9F\x98\x80 non-BMP", everyAscii, std::string(10000, ';'),
    };
    std::vector<StampItem> items;
    for (std::size_t i = 0; i < values.size(); ++i) items.push_back({"k" + std::to_string(i), values[i]});
    PayloadMap payload = parsePayload("MZ\0binary"s + buildPayloadBlock(items));
    ASSERT_EQ(payload.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(takeSetting(payload, "k" + std::to_string(i)), platform::fromUtf8(values[i])) << i;
    }
}

TEST(BuildPayloadBlock, WritesMarkerItemsInOrderAndOneZeroByte) {
    EXPECT_EQ(buildPayloadBlock({{"vid", "15"}, {"ap", "13"}, {"u", "a b"}}), "PayloadInfo:vid=15;ap=13;u=a%20b;\0"s);
    EXPECT_EQ(buildPayloadBlock({}), "PayloadInfo:\0"s);
}

struct Utf8Case {
    std::string text;
    bool valid;
};

TEST(IsValidUtf8, AcceptsOnlyWellFormedText) {
    const std::vector<Utf8Case> cases = {
        {"", true},
        {"ascii \x01", true},
        {"\xD0\x9F\xE2\x82\xAC\xF0\x9F\x98\x80", true},
        {"\xF4\x8F\xBF\xBF", true},           // U+10FFFF
        {"\xFF", false},
        {"\x80", false},                      // lone continuation byte
        {"\xC3", false},                      // truncated
        {"\xE2\x82", false},
        {"\xC3(", false},
        {"\xC0\xAF", false},                  // overlong "/"
        {"\xE0\x80\xAF", false},
        {"\xED\xA0\x80", false},              // surrogate
        {"\xF4\x90\x80\x80", false},          // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
    };
    for (const Utf8Case& c : cases) EXPECT_EQ(isValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
}

struct KeyCase {
    std::string key;
    bool accepted;
};

TEST(StampKeyProblem, RefusesKeysThatWouldBreakTheBlock) {
    const std::vector<KeyCase> cases = {
        {"vid", true},
        {"S", true},
        {"ключ", true},
        {"a%20b", true},
        {"a:b", true},
        {"", false},
        {"a=b", false},
        {"a;b", false},
        {"a\0b"s, false},
        {"xPayloadInfo:y", false},
        {"a\nb", false},
        {"\xFF", false},
    };
    for (const KeyCase& c : cases) {
        EXPECT_EQ(stampKeyProblem(c.key).empty(), c.accepted) << testing::PrintToString(c.key);
    }
    EXPECT_TRUE(stampValueProblem("any ; = % text").empty());
    EXPECT_FALSE(stampValueProblem("\xC3(").empty());
}

// ---------------------------------------------------------------- finding a stamped block

struct TrailingCase {
    const char* name;
    std::string file;
    std::optional<std::int64_t> blockAt;
};

class FindTrailingBlockTest : public testing::TestWithParam<TrailingCase> {};

TEST_P(FindTrailingBlockTest, FindsOnlyABlockThatEndsTheFile) {
    // Small chunks make markers straddle chunk borders at every offset.
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{12}, std::size_t{13}, std::size_t{17},
                                    std::size_t{64}, std::size_t{1} << 20}) {
        std::istringstream in(GetParam().file);
        EXPECT_EQ(findTrailingPayloadBlock(in, static_cast<std::int64_t>(GetParam().file.size()), chunk),
                  GetParam().blockAt)
            << "chunk " << chunk;
    }
}

const std::string kProgram = "MZ\x90\0\x03\0\0\0\x04\0PayloadInfo:\0\0\0\xFF\xFF code;x=1;\0\0"s;

INSTANTIATE_TEST_SUITE_P(
    Files, FindTrailingBlockTest,
    testing::Values(
        TrailingCase{"StampedProgram", kProgram + buildPayloadBlock({{"vid", "15"}, {"u", "Ж a;b"}}),
                     static_cast<std::int64_t>(kProgram.size())},
        TrailingCase{"UnstampedProgramWithMarkerText", kProgram, std::nullopt},
        TrailingCase{"EmptyFile", "", std::nullopt},
        TrailingCase{"BlockWithoutZeroByte", "xyzPayloadInfo:a=1;", 3},
        TrailingCase{"EmptyBlock", "xyzPayloadInfo:\0"s, 3},
        TrailingCase{"BareMarker", "PayloadInfo:", 0},
        TrailingCase{"BlockAfterEarlierBlock", "PayloadInfo:a=1;\0PayloadInfo:b=2;\0"s, 17},
        TrailingCase{"MalformedItemsStillABlock", "PayloadInfo:novalue;;=x;\0"s, 0},
        TrailingCase{"BytesAfterTheLastItem", "PayloadInfo:a=1;b", std::nullopt},
        TrailingCase{"TwoZeroBytes", "PayloadInfo:a=1;\0\0"s, std::nullopt},
        TrailingCase{"ZeroInsideTheItems", "PayloadInfo:a=\0;\0"s, std::nullopt},
        TrailingCase{"TextFileMentioningTheMarker", "k = \"PayloadInfo:\";\nint x = 1;\n", std::nullopt},
        TrailingCase{"MarkerTextAfterTheBlock", "PayloadInfo:a=1;\0PayloadInfo\0"s, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
