// Drives a window's taskbar button through ITaskbarList3. Failures are left
// alone: the button is a courtesy, and the window shows the same progress.
#include "app/win32/taskbar_button.h"

#include <shobjidl.h>

namespace platform {

namespace {

TBPFLAG flagOf(TaskbarState state) {
    switch (state) {
    case TaskbarState::normal:
        return TBPF_NORMAL;
    case TaskbarState::paused:
        return TBPF_PAUSED;
    case TaskbarState::error:
        return TBPF_ERROR;
    case TaskbarState::none:
        break;
    }
    return TBPF_NOPROGRESS;
}

class ShellTaskbarButton final : public TaskbarButton {
public:
    ShellTaskbarButton(HWND window, ITaskbarList3* list) : m_window(window), m_list(list) {}
    ~ShellTaskbarButton() override { m_list->Release(); }
    ShellTaskbarButton(const ShellTaskbarButton&) = delete;
    ShellTaskbarButton& operator=(const ShellTaskbarButton&) = delete;

    void setState(TaskbarState state) override { m_list->SetProgressState(m_window, flagOf(state)); }
    void setValue(std::uint64_t done, std::uint64_t total) override {
        m_list->SetProgressValue(m_window, done, total);
    }

private:
    HWND m_window;
    ITaskbarList3* m_list;
};

}  // namespace

std::unique_ptr<TaskbarButton> makeTaskbarButton(HWND window) {
    if (!window) return nullptr;
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list))) ||
        !list)
        return nullptr;
    if (FAILED(list->HrInit())) {
        list->Release();
        return nullptr;
    }
    return std::make_unique<ShellTaskbarButton>(window, list);
}

}  // namespace platform
