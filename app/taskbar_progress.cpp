// Keeps what the taskbar button should show and sends only the changes.
#include "app/taskbar_progress.h"

#include <algorithm>
#include <utility>

void TaskbarProgress::show(TaskbarState state, std::int64_t done, std::int64_t total) {
    m_state = state;
    if (total > 0) {
        m_total = static_cast<std::uint64_t>(total);
        m_done = done < 0 ? 0 : std::min(static_cast<std::uint64_t>(done), m_total);
    }
    apply(false);
}

void TaskbarProgress::attach(std::unique_ptr<TaskbarButton> button) {
    if (!button) return;
    m_button = std::move(button);
    apply(true);
}

void TaskbarProgress::detach() { m_button.reset(); }

void TaskbarProgress::apply(bool fresh) {
    if (!m_button) return;
    if (m_state == TaskbarState::none) {
        // A button the shell has just made is plain already.
        if (!fresh && m_shownState != TaskbarState::none) m_button->setState(TaskbarState::none);
        m_shownState = TaskbarState::none;
        return;
    }
    // An error before any byte shows as a full red bar: an empty one would
    // not show at all.
    const std::uint64_t total = m_total > 0 ? m_total : 1;
    const std::uint64_t done = m_total > 0 ? m_done : (m_state == TaskbarState::error ? 1 : 0);
    // The value first: setting it turns a plain button into a normal one,
    // which the state then corrects.
    if (fresh || m_shownState == TaskbarState::none || done != m_shownDone || total != m_shownTotal)
        m_button->setValue(done, total);
    if (fresh || m_state != m_shownState) m_button->setState(m_state);
    m_shownState = m_state;
    m_shownDone = done;
    m_shownTotal = total;
}
