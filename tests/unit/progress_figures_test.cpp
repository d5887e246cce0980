// The figures line under the progress bar, fed samples at made-up times: sizes,
// speed over the last five seconds, time left, the countdown while the
// connection is lost, and how often the window may redraw it.
#include <gtest/gtest.h>

#include <vector>

#include "app/progress_figures.h"
#include "app/space_notice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t kK = 1024, kM = kK * kK, kG = kM * kK;

Clock::time_point at(int ms) { return Clock::time_point{} + std::chrono::milliseconds(ms); }

ProgressSample got(int ms, std::int64_t bytes, std::int64_t total = 80 * kM) {
    return {.at = at(ms), .bytes = bytes, .total = total};
}

ProgressSample lost(int ms, std::int64_t bytes, int retryMs, std::int64_t total = 80 * kM) {
    return {.at = at(ms), .bytes = bytes, .total = total, .outage = true, .retryAt = at(retryMs)};
}

TEST(ProgressFigures, CountsSoFarRoundDownAtUnitBoundaries) {
    const std::tuple<std::int64_t, const wchar_t*, const wchar_t*> cases[] = {
        {0, L"0.0 KB", L"0,0 КБ"},         {1023, L"0.9 KB", L"0,9 КБ"},         {kK, L"1.0 KB", L"1,0 КБ"},
        {kM - 1, L"1023.9 KB", L"1023,9 КБ"}, {kM, L"1.0 MB", L"1,0 МБ"},     {kG - 1, L"1023.9 MB", L"1023,9 МБ"},
        {kG, L"1.0 GB", L"1,0 ГБ"},
    };
    for (const auto& [bytes, english, russian] : cases) {
        EXPECT_EQ(spaceText(bytes, false, SizeRounding::down), english) << bytes;
        EXPECT_EQ(spaceText(bytes, true, SizeRounding::down), russian) << bytes;
    }
}

TEST(ProgressFigures, LineInBothLanguages) {
    struct Case {
        const char* name;
        std::vector<ProgressSample> samples;
        const wchar_t* english;
        const wchar_t* russian;
    };
    const Case cases[] = {
        {"size still asked", {got(0, 0, -1)}, L"", L""},
        {"no speed from one sample", {got(0, 3 * kM + kM / 2)}, L"3.5 MB of 80.0 MB", L"3,5 МБ из 80,0 МБ"},
        {"no time left before 3 s", {got(0, 0), got(2999, 3 * kM)}, L"3.0 MB of 80.0 MB · 1.0 MB/s",
         L"3,0 МБ из 80,0 МБ · 1,0 МБ/с"},
        {"61 s is about a minute", {got(0, 0), got(3000, 3 * kM + 3 * kM / 4)},
         L"3.7 MB of 80.0 MB · 1.2 MB/s · about 1 min left", L"3,7 МБ из 80,0 МБ · 1,2 МБ/с · осталось около 1 мин"},
        {"155 s is about 3 min", {got(0, 0), got(5000, 5 * kM, 160 * kM)},
         L"5.0 MB of 160.0 MB · 1.0 MB/s · about 3 min left", L"5,0 МБ из 160,0 МБ · 1,0 МБ/с · осталось около 3 мин"},
        {"resumed start is not speed", {got(0, 40 * kM), got(4000, 44 * kM)},
         L"44.0 MB of 80.0 MB · 1.0 MB/s · about 36 s left", L"44,0 МБ из 80,0 МБ · 1,0 МБ/с · осталось около 36 с"},
        {"older than 5 s dropped", {got(0, 0), got(1000, 10 * kM), got(2000, 10 * kM), got(7000, 15 * kM)},
         L"15.0 MB of 80.0 MB · 1.0 MB/s · about 1 min left", L"15,0 МБ из 80,0 МБ · 1,0 МБ/с · осталось около 1 мин"},
        {"count going back", {got(0, 0), got(1000, 10 * kM), got(2000, kM), got(4000, 3 * kM)},
         L"3.0 MB of 80.0 MB · 1.0 MB/s · about 1 min left", L"3,0 МБ из 80,0 МБ · 1,0 МБ/с · осталось около 1 мин"},
        {"one byte missing", {got(0, 0), got(5000, 5 * kM - 1, 5 * kM)},
         L"4.9 MB of 5.0 MB · 1023.9 KB/s · about 1 s left", L"4,9 МБ из 5,0 МБ · 1023,9 КБ/с · осталось около 1 с"},
        {"all in", {got(0, 0), got(5000, 5 * kM, 5 * kM)}, L"5.0 MB of 5.0 MB · 1.0 MB/s", L"5,0 МБ из 5,0 МБ · 1,0 МБ/с"},
        {"stalled", {got(0, kM), got(4000, kM)}, L"1.0 MB of 80.0 MB · 0.0 KB/s", L"1,0 МБ из 80,0 МБ · 0,0 КБ/с"},
        {"outage counts down", {got(0, 0), lost(3000, 3 * kM, 6500)}, L"Connection lost, trying again in 4 s",
         L"Нет соединения, повтор через 4 с"},
        {"outage a millisecond before the try", {lost(0, 0, 1)}, L"Connection lost, trying again in 1 s",
         L"Нет соединения, повтор через 1 с"},
        {"outage with the try under way", {lost(0, 0, 0)}, L"Connection lost, trying again now",
         L"Нет соединения, пробуем снова"},
        {"outage while the size is asked", {lost(0, 0, 2000, -1)}, L"Connection lost, trying again in 2 s",
         L"Нет соединения, повтор через 2 с"},
        {"figures after the outage", {got(0, 0), lost(3000, 3 * kM, 6500), got(7000, 4 * kM)},
         L"4.0 MB of 80.0 MB · 256.0 KB/s · about 5 min left", L"4,0 МБ из 80,0 МБ · 256,0 КБ/с · осталось около 5 мин"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressFigures figures;
        for (const ProgressSample& sample : c.samples) figures.record(sample);
        EXPECT_EQ(figures.line(false), c.english);
        EXPECT_EQ(figures.line(true), c.russian);
    }
}

TEST(ProgressFigures, TheFinishedLineReadsTheTotalTwice) {
    EXPECT_EQ(ProgressFigures::completeLine(5 * kM + 1, false), L"5.1 MB of 5.1 MB");
    EXPECT_EQ(ProgressFigures::completeLine(5 * kM + 1, true), L"5,1 МБ из 5,1 МБ");
}

TEST(ProgressFigures, UpdatesAtMostTwiceASecond) {
    ProgressFigures figures;
    const std::pair<int, bool> ticks[] = {{0, true}, {499, false}, {500, true}, {999, false}, {1200, true}};
    for (const auto& [ms, due] : ticks) EXPECT_EQ(figures.updateDue(at(ms)), due) << ms;
}

}  // namespace
