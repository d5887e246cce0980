// The Win32 side of the dialog seam against real windows: the program's
// dialog templates as Windows builds them, the window operations, message
// delivery, keyboard and close handling, failures inside handlers, owners.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/dialog_window.h"
#include "app/win32/taskbar_button.h"
#include "app/win32/win32_dialog.h"

namespace {

using platform::DialogWindow;
using platform::runWin32ModalDialog;
using platform::Win32DialogWindow;

// A dialog handler made of hooks; everything it is told is recorded.
struct ScriptedHandler : platform::DialogHandler {
    std::function<bool(DialogWindow&)> init = [](DialogWindow&) { return true; };
    std::function<void(int)> command;
    std::function<void()> close;
    std::function<void(std::uint32_t, std::uintptr_t)> app;
    DialogWindow* window = nullptr;
    std::vector<int> commands;
    int closes = 0;
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> delivered;
    std::vector<std::pair<std::uint32_t, std::uintptr_t>> undelivered;
    std::vector<DWORD> deliveryThreads;
    bool destroyed = false;
    int taskbarButtons = 0;

    bool onInitDialog(DialogWindow& w) override {
        window = &w;
        return init(w);
    }
    void onCommand(int id) override {
        commands.push_back(id);
        if (command) command(id);
    }
    void onClose() override {
        ++closes;
        if (close) close();
    }
    void onAppMessage(std::uint32_t message, std::uintptr_t wParam) override {
        delivered.emplace_back(message, wParam);
        deliveryThreads.push_back(GetCurrentThreadId());
        if (app) app(message, wParam);
    }
    void onUndeliveredMessage(std::uint32_t message, std::uintptr_t wParam) override {
        undelivered.emplace_back(message, wParam);
    }
    void onTaskbarButtonCreated() override { ++taskbarButtons; }
    void onDestroyed() override { destroyed = true; }
};

HWND hwndOf(DialogWindow& window) { return static_cast<Win32DialogWindow&>(window).handle(); }

// A rectangle of the template in dialog units, as pixels of this dialog: the
// dialog manager converts position and size separately.
RECT dialogUnits(HWND dialog, int x, int y, int cx, int cy) {
    RECT position{x, y, 0, 0};
    RECT size{0, 0, cx, cy};
    MapDialogRect(dialog, &position);
    MapDialogRect(dialog, &size);
    return RECT{position.left, position.top, position.left + size.right, position.top + size.bottom};
}

RECT controlRect(HWND dialog, int id) {
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::wstring className(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return name;
}

std::wstring textOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

LONG fontHeightOf(HWND dialog) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof(font), &font);
    return font.lfHeight;
}

LONG pointsToHeight(HWND dialog, int points) {
    const HDC dc = GetDC(dialog);
    const LONG height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(dialog, dc);
    return height;
}

void expectRectEq(const RECT& actual, const RECT& expected, const char* what) {
    EXPECT_EQ(actual.left, expected.left) << what;
    EXPECT_EQ(actual.top, expected.top) << what;
    EXPECT_EQ(actual.right, expected.right) << what;
    EXPECT_EQ(actual.bottom, expected.bottom) << what;
}

// Runs a template with a handler whose init checks the window, then ends it.
int inspect(int templateId, const std::function<void(HWND)>& check) {
    ScriptedHandler handler;
    handler.init = [&](DialogWindow& window) {
        check(hwndOf(window));
        window.endDialog(77);
        return true;
    };
    return runWin32ModalDialog(templateId, handler, nullptr);
}

struct ControlLayout {
    int id;
    const wchar_t* className;
    int x, y, cx, cy;
    LONG styleBits;
    bool isStatic;
};

TEST(Win32DialogTemplates, ProgressDialogHasItsFrameFontAndControls) {
    const int result = inspect(platform::kProgressDialogTemplate, [](HWND dialog) {
        const DWORD style = static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE));
        for (DWORD bit : std::initializer_list<DWORD>{WS_POPUP, WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, DS_SETFOREGROUND}) {
            EXPECT_TRUE(style & bit) << bit;
        }
        EXPECT_FALSE(style & WS_MAXIMIZEBOX);
        EXPECT_FALSE(style & WS_THICKFRAME);
        EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
        EXPECT_EQ(fontHeightOf(dialog), pointsToHeight(dialog, 10));
        RECT client{};
        GetClientRect(dialog, &client);
        const RECT size = dialogUnits(dialog, 0, 0, 255, 53);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);

        const ControlLayout controls[] = {
            {1002, L"Static", 9, 6, 232, 8, WS_VISIBLE | WS_GROUP, true},
            {1001, L"Static", 9, 19, 232, 8, WS_VISIBLE | WS_GROUP, true},
            {1000, L"msctls_progress32", 9, 28, 232, 7, WS_VISIBLE, false},
            {1005, L"Static", 9, 39, 232, 8, WS_VISIBLE | WS_GROUP | SS_NOPREFIX | SS_ENDELLIPSIS, true},
        };
        for (const ControlLayout& c : controls) {
            const HWND control = GetDlgItem(dialog, c.id);
            ASSERT_NE(control, nullptr) << c.id;
            EXPECT_EQ(className(control), c.className) << c.id;
            EXPECT_EQ(GetWindowLongW(control, GWL_STYLE) & c.styleBits, c.styleBits) << c.id;
            // (The progress control drops WS_BORDER for an edge of its own when
            // it is created, so its border is not observable here.)
            if (c.isStatic) {
                EXPECT_EQ(GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK, SS_LEFT) << c.id;
            }
            EXPECT_EQ(textOf(control), L"") << c.id;
            expectRectEq(controlRect(dialog, c.id), dialogUnits(dialog, c.x, c.y, c.cx, c.cy), "control rect");
        }
    });
    EXPECT_EQ(result, 77);
}

TEST(Win32DialogTemplates, MessageBoxDialogHasItsButtonsAndStoredTexts) {
    const int result = inspect(platform::kMessageBoxTemplate, [](HWND dialog) {
        const DWORD style = static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE));
        for (DWORD bit : std::initializer_list<DWORD>{WS_POPUP, WS_CAPTION, WS_SYSMENU, DS_MODALFRAME}) {
            EXPECT_TRUE(style & bit) << bit;
        }
        EXPECT_FALSE(style & WS_MINIMIZEBOX);
        EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
        EXPECT_EQ(textOf(dialog), L"Dialog");
        EXPECT_EQ(fontHeightOf(dialog), pointsToHeight(dialog, 8));
        RECT client{};
        GetClientRect(dialog, &client);
        const RECT size = dialogUnits(dialog, 0, 0, 195, 66);
        EXPECT_EQ(client.right, size.right);
        EXPECT_EQ(client.bottom, size.bottom);

        const HWND ok = GetDlgItem(dialog, IDOK);
        const HWND cancel = GetDlgItem(dialog, IDCANCEL);
        const HWND message = GetDlgItem(dialog, platform::kMessageTextId);
        ASSERT_TRUE(ok && cancel && message);
        EXPECT_EQ(GetWindowLongW(ok, GWL_STYLE) & (BS_TYPEMASK | WS_TABSTOP), BS_DEFPUSHBUTTON | WS_TABSTOP);
        EXPECT_EQ(GetWindowLongW(cancel, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
        EXPECT_EQ(className(message), L"Static");
        EXPECT_EQ(GetWindowLongW(message, GWL_STYLE) & SS_TYPEMASK, SS_LEFT);
        EXPECT_EQ(textOf(ok), L"\u041E\u041A");  // Cyrillic "OK"
        EXPECT_EQ(textOf(cancel), L"\u041E\u0442\u043C\u0435\u043D\u0430");
        EXPECT_EQ(textOf(message), L"");
        expectRectEq(controlRect(dialog, IDOK), dialogUnits(dialog, 17, 47, 76, 14), "IDOK");
        expectRectEq(controlRect(dialog, IDCANCEL), dialogUnits(dialog, 99, 47, 77, 14), "IDCANCEL");
        expectRectEq(controlRect(dialog, platform::kMessageTextId), dialogUnits(dialog, 7, 7, 181, 36), "1004");
    });
    EXPECT_EQ(result, 77);
}

TEST(Win32DialogTemplates, IconResourceLoads) {
    EXPECT_NE(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(platform::kMainIconId)), nullptr);
}

TEST(Win32DialogWindow, TextsVisibilityAndPlacementReachTheControls) {
    ScriptedHandler handler;
    handler.init = [](DialogWindow& window) {
        const HWND dialog = hwndOf(window);
        window.setCaption(L"Установка PelMora");
        EXPECT_EQ(textOf(dialog), L"Установка PelMora");
        window.setControlText(platform::kMessageTextId, L"Хотите ли вы завершить процесс загрузки?");
        EXPECT_EQ(textOf(GetDlgItem(dialog, platform::kMessageTextId)), L"Хотите ли вы завершить процесс загрузки?");

        window.showControl(IDCANCEL, false);
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, IDCANCEL)));
        window.showControl(IDCANCEL, true);
        EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, IDCANCEL), GWL_STYLE) & WS_VISIBLE);

        // The frame lies left of and above the client origin.
        RECT screen{};
        GetWindowRect(dialog, &screen);
        const platform::Rect frame = window.windowRectInClient();
        EXPECT_LT(frame.left, 0);
        EXPECT_LT(frame.top, 0);
        EXPECT_EQ(frame.width(), screen.right - screen.left);
        EXPECT_EQ(frame.height(), screen.bottom - screen.top);

        const RECT okRect = controlRect(dialog, IDOK);
        EXPECT_EQ(window.controlRectInClient(IDOK), (platform::Rect{okRect.left, okRect.top, okRect.right, okRect.bottom}));
        window.moveControl(IDOK, 40, okRect.top, 60, 20);
        EXPECT_EQ(window.controlRectInClient(IDOK), (platform::Rect{40, okRect.top, 100, okRect.top + 20}));
        window.endDialog(1);
        return true;
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kMessageBoxTemplate, handler, nullptr), 1);
    EXPECT_TRUE(handler.destroyed);
}

TEST(Win32DialogWindow, ProgressBarAndIconFollowTheCalls) {
    ScriptedHandler handler;
    handler.init = [](DialogWindow& window) {
        const HWND dialog = hwndOf(window);
        const HWND bar = GetDlgItem(dialog, platform::kProgressBarId);
        window.setProgressRange(platform::kProgressBarId, 0, 100);
        window.setProgressStep(platform::kProgressBarId, 1);
        window.setProgressPos(platform::kProgressBarId, 42);
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 42);
        EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
        // PBM_SETSTEP answers the previous step.
        EXPECT_EQ(SendMessageW(bar, PBM_SETSTEP, 5, 0), 1);

        window.setIcon(platform::kMainIconId);
        const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(platform::kMainIconId));
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0)), icon);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0)), icon);
        EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dialog, WM_QUERYDRAGICON, 0, 0)), icon);

        window.enableCloseMenuItem();
        const UINT state = GetMenuState(GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND);
        EXPECT_FALSE(state & (MF_GRAYED | MF_DISABLED));
        window.endDialog(2);
        return true;
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 2);
}

TEST(Win32DialogWindow, OnlyAMinimisedWindowPaintsTheIconItself) {
    ScriptedHandler handler;
    handler.init = [](DialogWindow& window) {
        const HWND dialog = hwndOf(window);
        window.setIcon(platform::kMainIconId);
        window.centerAndShow();
        EXPECT_EQ(Win32DialogWindow::dialogProc(dialog, WM_PAINT, 0, 0), FALSE);
        ShowWindow(dialog, SW_MINIMIZE);
        EXPECT_TRUE(IsIconic(dialog));
        EXPECT_EQ(Win32DialogWindow::dialogProc(dialog, WM_PAINT, 0, 0), TRUE);
        ShowWindow(dialog, SW_RESTORE);
        window.endDialog(6);
        return true;
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 6);
}

TEST(Win32DialogWindow, PostedMessagesArriveInOrderOnTheDialogThread) {
    ScriptedHandler handler;
    std::thread poster;
    handler.init = [&](DialogWindow& window) {
        poster = std::thread([&window] {
            window.postMessage(platform::WM_APP_STATUS_TEXT, 11);
            window.postMessage(platform::WM_APP_PROGRESS, 22);
            window.postMessage(platform::WM_APP_FINISH, 0);
        });
        return true;
    };
    handler.app = [&](std::uint32_t message, std::uintptr_t) {
        if (message == platform::WM_APP_FINISH) handler.window->endDialog(9);
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 9);
    poster.join();
    const std::vector<std::pair<std::uint32_t, std::uintptr_t>> expected{
        {platform::WM_APP_STATUS_TEXT, 11}, {platform::WM_APP_PROGRESS, 22}, {platform::WM_APP_FINISH, 0}};
    EXPECT_EQ(handler.delivered, expected);
    for (DWORD thread : handler.deliveryThreads) EXPECT_EQ(thread, GetCurrentThreadId());
    EXPECT_TRUE(handler.undelivered.empty());
}

TEST(Win32DialogWindow, MessagesStillQueuedAtTheEndAreHandedBackAndLaterPostsFail) {
    ScriptedHandler handler;
    DialogWindow* window = nullptr;
    handler.init = [&](DialogWindow& w) {
        window = &w;
        EXPECT_TRUE(w.postMessage(platform::WM_APP_PROGRESS, 0x1234));
        EXPECT_TRUE(w.postMessage(platform::WM_APP_STATUS_TEXT, 0x5678));
        w.endDialog(4);
        return true;
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 4);
    EXPECT_TRUE(handler.delivered.empty());
    const std::vector<std::pair<std::uint32_t, std::uintptr_t>> expected{
        {platform::WM_APP_PROGRESS, 0x1234}, {platform::WM_APP_STATUS_TEXT, 0x5678}};
    EXPECT_EQ(handler.undelivered, expected);
    EXPECT_TRUE(handler.destroyed);
    MSG stray{};
    EXPECT_FALSE(PeekMessageW(&stray, nullptr, platform::WM_APP_PROGRESS, platform::WM_APP_FINISH, PM_NOREMOVE));
}

struct KeyCase {
    const char* name;
    WPARAM key;
    int command;
};

class Win32DialogKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Win32DialogKeys, KeyBecomesItsCommand) {
    ScriptedHandler handler;
    handler.init = [&](DialogWindow& window) {
        const HWND dialog = hwndOf(window);
        SetFocus(GetDlgItem(dialog, IDOK));
        PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYDOWN, GetParam().key, 0);
        PostMessageW(GetDlgItem(dialog, IDOK), WM_KEYUP, GetParam().key, 0);
        return false;
    };
    handler.command = [&](int id) { handler.window->endDialog(100 + id); };
    EXPECT_EQ(runWin32ModalDialog(platform::kMessageBoxTemplate, handler, nullptr), 100 + GetParam().command);
    EXPECT_EQ(handler.commands, std::vector<int>{GetParam().command});
}

INSTANTIATE_TEST_SUITE_P(EnterAndEscape, Win32DialogKeys,
                         ::testing::Values(KeyCase{"Enter", VK_RETURN, IDOK}, KeyCase{"Escape", VK_ESCAPE, IDCANCEL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Win32DialogWindow, CloseCommandReachesOnCloseNotACommand) {
    ScriptedHandler handler;
    handler.init = [](DialogWindow& window) {
        PostMessageW(hwndOf(window), WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    };
    handler.close = [&] { handler.window->endDialog(5); };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 5);
    EXPECT_EQ(handler.closes, 1);
    EXPECT_TRUE(handler.commands.empty());
}

struct ThrowCase {
    const char* name;
    bool duringInit;
};

class Win32DialogFailures : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(Win32DialogFailures, HandlerExceptionEndsTheDialogAndIsRethrown) {
    ScriptedHandler handler;
    handler.init = [&](DialogWindow& window) {
        if (GetParam().duringInit) throw std::runtime_error("Invalid installer!");
        window.postMessage(platform::WM_APP_FINISH, 0);
        return true;
    };
    handler.app = [](std::uint32_t, std::uintptr_t) { throw std::runtime_error("Invalid installer!"); };
    try {
        runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid installer!");
    }
    EXPECT_TRUE(handler.destroyed);
}

INSTANTIATE_TEST_SUITE_P(Handlers, Win32DialogFailures,
                         ::testing::Values(ThrowCase{"InInit", true}, ThrowCase{"InPostedMessage", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Win32DialogWindow, OwnedBoxDisablesItsOwnerAndOpensCentredOverIt) {
    ScriptedHandler main;
    ScriptedHandler box;
    HWND owner = nullptr;
    main.init = [&](DialogWindow& window) {
        owner = hwndOf(window);
        window.centerAndShow();
        window.postMessage(platform::WM_APP_FINISH, 0);
        return true;
    };
    main.app = [&](std::uint32_t, std::uintptr_t) {
        box.init = [&](DialogWindow& w) {
            w.postMessage(platform::WM_APP_FINISH, 0);
            return true;
        };
        box.app = [&](std::uint32_t, std::uintptr_t) {
            const HWND dialog = hwndOf(*box.window);
            EXPECT_EQ(GetWindow(dialog, GW_OWNER), owner);
            EXPECT_FALSE(IsWindowEnabled(owner));
            RECT a{}, b{};
            GetWindowRect(owner, &a);
            GetWindowRect(dialog, &b);
            EXPECT_NEAR((a.left + a.right) / 2, (b.left + b.right) / 2, 1);
            EXPECT_NEAR((a.top + a.bottom) / 2, (b.top + b.bottom) / 2, 1);
            box.window->endDialog(platform::kIdCancel);
        };
        EXPECT_EQ(runWin32ModalDialog(platform::kMessageBoxTemplate, box, main.window), platform::kIdCancel);
        EXPECT_TRUE(IsWindowEnabled(owner));
        main.window->endDialog(3);
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, main, nullptr), 3);
}

TEST(Win32DialogWindow, TheShellsTaskbarNoteReachesTheHandlerAndTheButtonTakesProgress) {
    ScriptedHandler handler;
    handler.init = [&](DialogWindow& window) {
        const HWND dialog = hwndOf(window);
        // What the shell sends once it has made the button (again, after a restart).
        SendMessageW(dialog, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
        SendMessageW(dialog, RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
        SendMessageW(dialog, RegisterWindowMessageW(L"SomeOtherShellNote"), 0, 0);
        // Wine's taskbar list takes every call and shows nothing; Windows
        // draws them on the button.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (auto button = platform::makeTaskbarButton(dialog)) {
            button->setValue(3, 10);
            button->setState(TaskbarState::paused);
            button->setState(TaskbarState::none);
        }
        CoUninitialize();
        window.endDialog(5);
        return true;
    };
    EXPECT_EQ(runWin32ModalDialog(platform::kProgressDialogTemplate, handler, nullptr), 5);
    EXPECT_EQ(handler.taskbarButtons, 2);
    EXPECT_EQ(platform::makeTaskbarButton(nullptr), nullptr);
}

TEST(Win32DialogWindow, MissingTemplateIsReportedAsMinusOne) {
    ScriptedHandler handler;
    EXPECT_EQ(runWin32ModalDialog(4242, handler, nullptr), -1);
    EXPECT_EQ(handler.window, nullptr);
}

}  // namespace
