// The taskbar button's progress: kept until the shell has made the button,
// handed again to a button made anew, and only changes sent.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/taskbar_progress.h"

namespace {

using Log = std::vector<std::string>;

class RecordingButton : public TaskbarButton {
public:
    RecordingButton(Log& log, std::string name) : m_log(log), m_name(std::move(name)) {}
    void setState(TaskbarState state) override {
        m_log.push_back(m_name + " state " + std::to_string(static_cast<int>(state)));
    }
    void setValue(std::uint64_t done, std::uint64_t total) override {
        m_log.push_back(m_name + " value " + std::to_string(done) + "/" + std::to_string(total));
    }

private:
    Log& m_log;
    std::string m_name;
};

constexpr auto kNone = TaskbarState::none;
constexpr auto kNormal = TaskbarState::normal;
constexpr auto kPaused = TaskbarState::paused;
constexpr auto kError = TaskbarState::error;

TEST(TaskbarProgress, KeepsTheStateUntilAButtonComesAndSendsOnlyChanges) {
    struct Case {
        const char* name;
        std::function<void(TaskbarProgress&, Log&)> steps;
        Log expected;
    };
    const auto button = [](Log& log, const char* name) { return std::make_unique<RecordingButton>(log, name); };
    const Case cases[] = {
        {"shown before the button, replayed when it comes",
         [&](TaskbarProgress& p, Log& log) {
             p.show(kNormal, 5, 10);
             p.show(kPaused, 6, 10);
             p.attach(button(log, "a"));
         },
         {"a value 6/10", "a state 2"}},
        {"the same figures twice a second are sent once",
         [&](TaskbarProgress& p, Log& log) {
             p.attach(button(log, "a"));
             p.show(kNormal, 5, 10);
             p.show(kNormal, 5, 10);
             p.show(kNormal, 7, 10);
             p.show(kPaused, 7, 10);
             p.show(kNormal, 7, 10);
         },
         {"a value 5/10", "a state 1", "a value 7/10", "a state 2", "a state 1"}},
        {"a shell that made the button again gets the state again",
         [&](TaskbarProgress& p, Log& log) {
             p.attach(button(log, "a"));
             p.show(kNormal, 3, 10);
             p.attach(button(log, "b"));
         },
         {"a value 3/10", "a state 1", "b value 3/10", "b state 1"}},
        {"an error keeps the bytes, before any byte it is a full bar, cleared is plain",
         [&](TaskbarProgress& p, Log& log) {
             p.attach(button(log, "a"));
             p.show(kError);
             p.show(kNormal, 4, 10);
             p.show(kError);
             p.show(kNone);
             p.show(kNone);
         },
         {"a value 1/1", "a state 3", "a value 4/10", "a state 1", "a state 3", "a state 0"}},
        {"no button from the system, or a window gone: nothing is sent",
         [&](TaskbarProgress& p, Log& log) {
             p.attach(nullptr);
             p.show(kNormal, 1, 10);
             p.attach(button(log, "a"));
             p.detach();
             p.show(kNormal, 2, 10);
         },
         {"a value 1/10", "a state 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log log;
        TaskbarProgress progress;
        c.steps(progress, log);
        EXPECT_EQ(log, c.expected);
    }
}

}  // namespace
