// The progress shown on the window's taskbar button. The button can only be
// driven once the shell has made it, which the window learns from a message
// that may come late, again (the shell restarted) or never; so what the
// button should show is kept here and handed to each button as it comes.
#pragma once

#include <cstdint>
#include <memory>

// ITaskbarList3's states, as far as this program uses them.
enum class TaskbarState {
    none,    // TBPF_NOPROGRESS: the plain button
    normal,  // TBPF_NORMAL: bytes flow
    paused,  // TBPF_PAUSED: waiting out an outage
    error,   // TBPF_ERROR: an error notice is up
};

// One taskbar button (ITaskbarList3 for one window). Calls come on the
// window's thread.
class TaskbarButton {
public:
    virtual ~TaskbarButton() = default;
    // SetProgressState.
    virtual void setState(TaskbarState state) = 0;
    // SetProgressValue.
    virtual void setValue(std::uint64_t done, std::uint64_t total) = 0;
};

class TaskbarProgress {
public:
    // What the button should show from now on; `done` of `total` is kept
    // from the last call that gave a total. Applied at once when there is a
    // button, else when one comes.
    void show(TaskbarState state, std::int64_t done = 0, std::int64_t total = 0);
    // A button the shell has (re)made: it gets the present state. None (the
    // system offers no taskbar list) leaves the button alone.
    void attach(std::unique_ptr<TaskbarButton> button);
    // The window goes: no call may reach its button any more.
    void detach();

private:
    void apply(bool fresh);

    std::unique_ptr<TaskbarButton> m_button;
    TaskbarState m_state = TaskbarState::none;
    std::uint64_t m_done = 0;
    std::uint64_t m_total = 0;
    // What the button shows now, so that an unchanged state is not sent
    // twice a second.
    TaskbarState m_shownState = TaskbarState::none;
    std::uint64_t m_shownDone = 0;
    std::uint64_t m_shownTotal = 0;
};
