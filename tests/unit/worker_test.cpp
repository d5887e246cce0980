// The worker's small steps: failure notices, the size taken from the probe's
// headers, progress percent and text, the bounded report text and the names
// of the two temporary files.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "app/ui_text.h"
#include "app/worker_steps.h"

namespace {

struct NoticeCase {
    ErrorClass error;
    const wchar_t* expected;
};

const NoticeCase kNoticeCases[] = {
    {{1, 7}, L"Download Error (system code: 7). "},
    {{1, 6}, L"Download Error (system code: 6). "},
    {{1, 28}, L"Download Error (system code: 28). "},
    {{2, 2001}, L"Server Error (system code: 2001). "},
    {{2, -5}, L"Server Error (system code: -5). "},
    {{3, 1}, L"Internal Error."},
    {{0, 0}, L"Internal Error."},
};

TEST(WorkerNotices, FixedEnglishTextsByKind) {
    for (const NoticeCase& c : kNoticeCases) {
        EXPECT_EQ(errorMessageFor(c.error), c.expected) << c.error.kind << "/" << c.error.code;
    }
}

TEST(WorkerProbe, NoContentLengthIsServerError2001) {
    const HeaderList headers{{HK_Status, "200"}, {HK_Other, "x-content-length: 5"}};
    try {
        firstContentLength(headers);
        FAIL() << "no error";
    } catch (const ErrorClass& error) {
        EXPECT_EQ(error.kind, 2);
        EXPECT_EQ(error.code, 2001);
    }
}

TEST(WorkerProbe, SizeIsAPlainDecimalNumberElseServerError2001) {
    for (const auto& [value, size] : {std::pair<const char*, std::int32_t>{"1048576", 1048576}, {"007", 7},
                                      {"2147483647", 2147483647}}) {
        EXPECT_EQ(contentLengthToSize(value), size) << value;
    }
    // Never the leading digits of something else, never a size of no bytes.
    for (const char* value : {"", "abc", "12abc", "3 4", "+7", "-5", "0", " 1234", "2147483648", "x12"}) {
        try {
            contentLengthToSize(value);
            ADD_FAILURE() << "accepted " << value;
        } catch (const ErrorClass& error) {
            EXPECT_EQ(error.kind, 2) << value;
            EXPECT_EQ(error.code, 2001) << value;
        }
    }
}

struct PercentCase {
    std::int32_t done;
    std::int32_t size;
    std::int32_t percent;
};

const PercentCase kPercents[] = {
    {524288, 1048576, 50}, {0, 1048576, 0},    {1, 3, 33},   {2, 3, 66},
    {999, 1000, 99},       {1000, 1000, 100},  {2147483647, 2147483647, 100},
    {2147483646, 2147483647, 99},  // no 32-bit overflow in done * 100
};

TEST(WorkerProgress, PercentIsTruncated) {
    for (const PercentCase& c : kPercents) {
        EXPECT_EQ(progressPercent(c.done, c.size), c.percent) << c.done << "/" << c.size;
    }
}

TEST(WorkerProgress, TextInBothLanguages) {
    languageRecord().languageId = 0x0409;
    EXPECT_EQ(progressText(uiText(11), 50), L"Progress: 50%");
    languageRecord().languageId = 0x0419;
    EXPECT_EQ(progressText(uiText(11), 7), L"Прогресс: 7%");
    releaseLanguageRecord();
    EXPECT_EQ(progressText(L"", 100), L": 100%");
}

struct ReportCase {
    std::size_t length;
    std::size_t kept;
};

const ReportCase kReports[] = {{0, 0}, {1, 1}, {253, 253}, {254, 254}, {255, 254}, {256, 254}, {1000, 254}};

TEST(WorkerProgress, ReportKeepsAtMost254Characters) {
    for (const ReportCase& c : kReports) {
        std::wstring text;
        for (std::size_t i = 0; i < c.length; ++i) text.push_back(static_cast<wchar_t>(L'a' + i % 26));
        const std::unique_ptr<ProgressReport> report(newProgressReport(42, text));
        EXPECT_EQ(report->percent, 42);
        EXPECT_EQ(std::wstring(report->text), text.substr(0, c.kept)) << c.length;
        EXPECT_EQ(report->text[c.kept], L'\0') << c.length;
        EXPECT_EQ(report->text[255], L'\0') << c.length;
    }
}

TEST(WorkerFiles, ResumeStateAndInstallerNames) {
    const std::wstring sep(1, static_cast<wchar_t>(std::filesystem::path::preferred_separator));
    const std::wstring temp = L"T dir";
    struct Case {
        std::wstring actual;
        std::wstring expected;
    } cases[] = {
        {resumeStatePath(temp, L""), temp + sep + L"_.txt"},
        {resumeStatePath(temp, L"tag"), temp + sep + L"_tag.txt"},
        {installerPath(temp, L"pel_mora", L""), temp + sep + L"pel_mora_.exe"},
        {installerPath(temp, L"holle_strin", L"tag"), temp + sep + L"holle_strin_tag.exe"},
        {installerPath(L"C:\\Temp", L"s", L""), L"C:\\Temp" + sep + L"s_.exe"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);
    if (sep == L"\\") {
        // The Windows names exactly: "%ls\\_%ls.txt" and "%ls\\%ls_%ls.exe".
        EXPECT_EQ(resumeStatePath(L"C:\\Users\\u\\AppData\\Local\\Temp", L""),
                  L"C:\\Users\\u\\AppData\\Local\\Temp\\_.txt");
    }
}

}  // namespace
