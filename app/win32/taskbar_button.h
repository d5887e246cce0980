// The taskbar button of one window through the shell's ITaskbarList3.
#pragma once

#include <windows.h>

#include <memory>

#include "app/taskbar_progress.h"

namespace platform {

// ITaskbarList3 for `window`, made on the calling thread (COM initialised
// there); none when the shell offers no taskbar list.
std::unique_ptr<TaskbarButton> makeTaskbarButton(HWND window);

}  // namespace platform
