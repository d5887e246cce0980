// Keeps the last seconds of progress samples and words them for the window.
#include "app/progress_figures.h"

#include <algorithm>

#include <boost/format.hpp>

#include "app/space_notice.h"
#include "app/ui_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr Clock::duration kSpeedWindow = std::chrono::seconds(5);
constexpr Clock::duration kTimeLeftAfter = std::chrono::seconds(3);
constexpr Clock::duration kUpdateEvery = milliseconds(500);
constexpr const wchar_t* kSeparator = L" \u00B7 ";

std::wstring format(unsigned text, bool russian, const std::wstring& value) {
    return (boost::wformat(uiText(text, russian)) % value).str();
}

std::wstring sizeOfTotal(const std::wstring& count, const std::wstring& total, bool russian) {
    return (boost::wformat(uiText(kTextSizeOfTotal, russian)) % count % total).str();
}

// Seconds under a minute, whole minutes (the nearest) from there on.
std::wstring durationText(std::int64_t seconds, bool russian) {
    if (seconds < 60) return std::to_wstring(seconds) + L" " + uiText(kTextSeconds, russian);
    return std::to_wstring((seconds + 30) / 60) + L" " + uiText(kTextMinutes, russian);
}

std::int64_t wholeMilliseconds(Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); }

}  // namespace

void ProgressFigures::record(const ProgressSample& sample) {
    m_newest = sample;
    // Until the size is known there is nothing to measure against.
    if (sample.total < 0) {
        m_window.clear();
        m_figuresSince.reset();
        return;
    }
    if (!m_figuresSince) m_figuresSince = sample.at;
    // A count that goes back (a part fetched again) measures the speed afresh.
    if (!m_window.empty() && sample.bytes < m_window.back().bytes) m_window.clear();
    m_window.push_back({sample.at, sample.bytes});
    while (sample.at - m_window.front().at > kSpeedWindow) m_window.pop_front();
}

std::wstring ProgressFigures::line(bool russian) const {
    if (!m_newest) return {};
    const ProgressSample& now = *m_newest;
    if (now.outage) {
        // A try that hangs in its connect may take a while: no count stands still meanwhile.
        if (now.retryAt <= now.at) return uiText(kTextRetryingNow, russian);
        // Rounded up, so the count never reads "0 s" while the try is still to come.
        const std::int64_t ms = wholeMilliseconds(now.retryAt - now.at);
        return format(kTextConnectionLost, russian, durationText((ms + 999) / 1000, russian));
    }
    if (now.total < 0) return {};

    // The count rounded down and the total rounded up: the line reads the
    // total only once every byte is in.
    std::wstring text =
        sizeOfTotal(spaceText(now.bytes, russian, SizeRounding::down), spaceText(now.total, russian), russian);
    const std::int64_t spanMs = wholeMilliseconds(now.at - m_window.front().at);
    if (spanMs <= 0) return text;
    // Measured from the oldest sample kept: bytes a resumed download started
    // with were there before it and never count as speed.
    const std::int64_t gained = now.bytes - m_window.front().bytes;
    text += kSeparator + format(kTextSpeed, russian, spaceText(gained * 1000 / spanMs, russian, SizeRounding::down));

    const std::int64_t missing = now.total - now.bytes;
    if (now.at - *m_figuresSince < kTimeLeftAfter || gained <= 0 || missing <= 0) return text;
    // Rounded up, so that a single missing byte still reads "1 s".
    const std::int64_t seconds = (missing * spanMs + gained * 1000 - 1) / (gained * 1000);
    return text + kSeparator + format(kTextTimeLeft, russian, durationText(seconds, russian));
}

std::wstring ProgressFigures::completeLine(std::int64_t total, bool russian) {
    const std::wstring size = spaceText(total, russian);
    return sizeOfTotal(size, size, russian);
}

bool ProgressFigures::updateDue(Clock::time_point now) {
    if (m_lastUpdate && now - *m_lastUpdate < kUpdateEvery) return false;
    m_lastUpdate = now;
    return true;
}
