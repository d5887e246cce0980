// Ids shared by the C++ code and the resource scripts (res/*.rc): the dialog
// templates, their controls and the window icon as plain #defines, which is
// all the resource compiler reads, and the messages the worker posts to the
// progress dialog.
#pragma once

#define IDD_PROGRESS 102
#define IDD_MESSAGE_BOX 131
#define IDI_MAIN 128

#define IDC_PROGRESS_BAR 1000
#define IDC_PROGRESS_LINE 1001
#define IDC_STATUS_LINE 1002
#define IDC_MESSAGE_TEXT 1004
#define IDC_FIGURES_LINE 1005

#ifndef RC_INVOKED

#include <cstdint>

namespace platform {

// Messages the worker posts to the progress dialog (WM_APP + 0x10 .. 0x12),
// the installer start's outcome (WM_APP + 0x13), the figures line with the
// taskbar button's progress (WM_APP + 0x14) and an error notice from another
// thread going up (WM_APP + 0x15). The window drains WM_APP_FIRST..WM_APP_LAST.
inline constexpr std::uint32_t WM_APP_PROGRESS = 0x8010;
inline constexpr std::uint32_t WM_APP_STATUS_TEXT = 0x8011;
inline constexpr std::uint32_t WM_APP_FINISH = 0x8012;
inline constexpr std::uint32_t WM_APP_LAUNCHED = 0x8013;
inline constexpr std::uint32_t WM_APP_FIGURES = 0x8014;
inline constexpr std::uint32_t WM_APP_NOTICE_SHOWN = 0x8015;
inline constexpr std::uint32_t WM_APP_FIRST = WM_APP_PROGRESS;
inline constexpr std::uint32_t WM_APP_LAST = WM_APP_NOTICE_SHOWN;

// Command and control ids of the dialog templates (IDOK / IDCANCEL are macros
// in windows.h, hence the k names).
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kProgressBarId = IDC_PROGRESS_BAR;
inline constexpr int kProgressLineId = IDC_PROGRESS_LINE;
inline constexpr int kStatusLineId = IDC_STATUS_LINE;
inline constexpr int kMessageTextId = IDC_MESSAGE_TEXT;
inline constexpr int kFiguresLineId = IDC_FIGURES_LINE;

// Resources: the progress dialog, the message box dialog and the window icon.
inline constexpr int kProgressDialogTemplate = IDD_PROGRESS;
inline constexpr int kMessageBoxTemplate = IDD_MESSAGE_BOX;
inline constexpr int kMainIconId = IDI_MAIN;

}  // namespace platform

#endif
