#include "downloader/diagnostic_log.h"

#include <atomic>
#include <fstream>
#include <mutex>

#include "platform/system.h"

namespace {

// The open state is kept apart from the stream so that a closed log costs one
// atomic load per call and no lock.
struct LogState {
    std::mutex lock;
    std::ofstream stream;
    std::atomic<bool> open{false};
};

// Built on first use: a Downloader may be constructed during static
// initialisation of another translation unit.
LogState& logState() {
    static LogState state;
    return state;
}

}  // namespace

void openDiagnosticLog(const std::wstring& path) {
    if (path.empty()) return;
    // Text mode, so that lines end the platform's way.
    std::ofstream candidate(platform::nativePath(path), std::ios::out | std::ios::app);
    if (!candidate.is_open()) return;
    LogState& state = logState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.stream = std::move(candidate);
    state.open.store(true);
}

void closeDiagnosticLog() {
    LogState& state = logState();
    std::lock_guard<std::mutex> guard(state.lock);
    state.open.store(false);
    if (state.stream.is_open()) state.stream.close();
    state.stream.clear();
}

bool isDiagnosticLogOpen() { return logState().open.load(std::memory_order_acquire); }

void diagnosticLog(const std::string& message) {
    LogState& state = logState();
    if (!state.open.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.stream.is_open()) return;
    state.stream << message << '\n';
    state.stream.flush();
}
