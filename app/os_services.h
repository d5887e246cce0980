// What the front end takes from the operating system, behind one interface:
// the program's file, the download folder and the record of its files, the
// user's proxy settings and the proxy WinHTTP finds for an address, the
// registry under HKEY_LOCAL_MACHINE (both views), file existence, the
// signature of a file, starting a program, keeping the system awake, COM and
// common controls, modal dialogs, the plain error box, the window's taskbar
// button and the one running copy per resume state.
// The Windows side (app/win32/win32_os.h) maps each call onto the Win32 call named in its
// comment; tests use the in-process stand-in of tests/support/fake_windows.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/dialog_window.h"
#include "app/taskbar_progress.h"

namespace platform {

// An open registry key (an HKEY on Windows).
using RegistryKey = void*;

// Platform error codes (Win32 values).
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorSharingViolation = 32;
inline constexpr std::int32_t kErrorLockViolation = 33;
inline constexpr std::int32_t kErrorVirusInfected = 225;
inline constexpr std::int32_t kErrorVirusDeleted = 226;
inline constexpr std::int32_t kErrorFilenameExcedRange = 206;
inline constexpr std::int32_t kErrorMoreData = 234;

// The current user's Internet proxy settings (WINHTTP_CURRENT_USER_IE_PROXY_CONFIG).
struct UserProxySettings {
    bool autoDetect = false;                    // fAutoDetect: "automatically detect settings"
    std::optional<std::wstring> autoConfigUrl;  // lpszAutoConfigUrl: the auto-config script's address
    std::optional<std::wstring> manualProxy;    // lpszProxy: the manual proxy text
};

// Where WinHTTP takes the auto-config script from.
enum class AutoProxySource {
    ConfigUrl,   // WINHTTP_AUTOPROXY_CONFIG_URL with the settings' script address
    AutoDetect,  // WINHTTP_AUTOPROXY_AUTO_DETECT (WPAD through DHCP and DNS)
};

// What WinHttpGetProxyForUrl said about one address.
struct AutoProxyAnswer {
    bool answered = false;                   // the call succeeded within its bound
    std::optional<std::wstring> proxyList;   // lpszProxy of a named proxy; nothing: go direct
    std::int32_t error = 0;                  // GetLastError when not answered
};

// ERROR_WINHTTP_TIMEOUT: the answer did not come within its bound (or the caller gave up).
inline constexpr std::int32_t kErrorWinHttpTimeout = 12002;

// Which of the two registry views of a 64-bit Windows a key is read from:
// 32-bit programs see the 32-bit view by default (KEY_WOW64_32KEY), 64-bit
// ones the native view (KEY_WOW64_64KEY).
enum class RegistryView { Wow64_32, Wow64_64 };

class OsServices {
public:
    virtual ~OsServices() = default;

    // Full path of the running program's own file (the payload block is at its end).
    virtual std::wstring ownExecutablePath() = 0;
    // The folder that holds the installer file, the resume state and its
    // lock, without a trailing separator: one that nobody but administrators
    // can have written (see app/win32/download_folder.h), the same for every
    // start of one user while it stays so. Throws (std::runtime_error or a
    // filesystem error) when there is none.
    virtual std::wstring downloadFolder() = 0;

    // The record that vouches for the resume state `name` (a file name in
    // the download folder), kept where only an elevated process can write
    // (HKLM on Windows). readDownloadRecord is false when there is none;
    // eraseDownloadRecord is true once there is none.
    virtual bool readDownloadRecord(const std::wstring& name, std::string& record) = 0;
    virtual bool writeDownloadRecord(const std::wstring& name, const std::string& record) = 0;
    virtual bool eraseDownloadRecord(const std::wstring& name) = 0;

    // CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE):
    // true only when the result is S_OK.
    virtual bool initializeCom() = 0;
    // InitCommonControlsEx with ICC_WIN95_CLASSES.
    virtual void initializeCommonControls() = 0;

    // WinHttpGetIEProxyConfigForCurrentUser. False when the call fails;
    // otherwise `settings` holds what the user set (each text nothing when
    // not set). Every string the call hands over is released (GlobalFree)
    // before this returns.
    virtual bool currentUserProxy(UserProxySettings& settings) = 0;
    // WinHttpGetProxyForUrl for `url` on a session of its own, the script
    // taken from `source` (`configUrl` for ConfigUrl). The call is
    // synchronous and may fetch a script from the network, so it is bounded:
    // after `bound`, or soon after a set `abort` flag, this returns
    // unanswered (kErrorWinHttpTimeout) and leaves the call to finish on its own.
    virtual AutoProxyAnswer proxyForUrl(const std::wstring& url, AutoProxySource source, const std::wstring& configUrl,
                                        std::chrono::milliseconds bound, const std::atomic<bool>* abort) = 0;

    // RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | the view's flag,
    // &key); 0 on success. A key opened here must be given back to closeRegistryKey.
    virtual std::int32_t openRegistryKey(const std::wstring& path, RegistryView view, RegistryKey& key) = 0;
    // RegQueryValueExW(key, name, NULL, NULL, buffer, &size): `size` holds the
    // buffer's size in bytes on entry and the bytes written on success.
    virtual std::int32_t queryRegistryValue(RegistryKey key, const std::wstring& name, void* buffer,
                                            std::uint32_t& size) = 0;
    // RegCloseKey.
    virtual void closeRegistryKey(RegistryKey key) = 0;

    // PathFileExistsW.
    virtual bool fileExists(const std::wstring& path) = 0;
    // WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, whole-chain
    // revocation, an unreachable revocation server tolerated) on the open file
    // `file` (a platform::File's handle; `path` names it): 0 when accepted, and
    // `signer` then holds the common name of the signer's certificate;
    // otherwise the verification's result (an HRESULT).
    virtual std::int32_t verifySignature(std::intptr_t file, const std::wstring& path, std::wstring& signer) = 0;
    // ShellExecuteExW with SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC, the verb
    // "open", file, parameters, directory and SW_SHOWNORMAL, `directory` the
    // started program's current directory (none when empty), COM initialised
    // on the calling thread for the call: 0 when the program was started,
    // otherwise the system's error code (GetLastError, or the call's hInstApp
    // when that is not set). The shell shows no box of its own. May be called
    // from any thread.
    virtual std::int32_t shellOpen(const std::wstring& file, const std::wstring& parameters,
                                   const std::wstring& directory) = 0;
    // SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) when
    // `required`, SetThreadExecutionState(ES_CONTINUOUS) when not: the system
    // does not idle-sleep while a thread has asked so. The request belongs to
    // the calling thread, so the same thread gives it back.
    virtual void keepSystemAwake(bool required) = 0;

    // DialogBoxParamW with the dialog template `templateId`, owned by `owner`
    // (none when null), its messages going to `handler`. Returns the value
    // given to endDialog, or -1 when the dialog could not be shown. May be
    // called from any thread; the dialog's messages are handled on the calling
    // thread. An exception thrown by the handler is rethrown from here after
    // the window is gone.
    virtual int runModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) = 0;

    // MessageBoxW(NULL, text, caption, MB_OK).
    virtual void messageBox(const std::wstring& text, const std::wstring& caption) = 0;

    // The taskbar button of `window`, once the shell has said it made one:
    // ITaskbarList3 (CoCreateInstance of CLSID_TaskbarList, HrInit) for the
    // window's handle, on the window's thread, with COM initialised there.
    // None when the system offers no taskbar list.
    virtual std::unique_ptr<TaskbarButton> taskbarButton(DialogWindow& window) = 0;

    // The name by which later copies find this one's window: CreateMutexW
    // in a private namespace whose boundary is the Administrators group (no
    // user process can make or open it), or, where the system offers no
    // such namespace, "Local\\<name>-<the user's SID>". True when this process
    // made it (kept until these services go away, and with it the claim);
    // false when it existed already or could not be made. The name decides
    // nothing else: which copy runs is decided by the lock beside the resume
    // state, since a user process may hold a session name first.
    virtual bool claimRunningCopy(const std::wstring& name) = 0;
    // After a successful claim: the dialog that later copies bring to the
    // front, its HWND written into the file mapping "<the mutex's name>.window"
    // (made with the claim; one that somebody made first is left alone).
    virtual void publishRunningWindow(DialogWindow& window) = 0;
    // For a copy that found the lock held: the HWND published under `name`
    // (waiting for it up to `waitMs`, the running copy may still be starting),
    // restored when minimised and brought to the front with
    // SetForegroundWindow, only when its process (GetWindowThreadProcessId,
    // QueryFullProcessImageNameW) runs this very program file, the paths
    // compared as Windows compares file names. False when no such window was
    // found in time; anything else published there is never touched.
    virtual bool activateRunningCopy(const std::wstring& name, int waitMs) = 0;
};

}  // namespace platform
