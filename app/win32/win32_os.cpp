// The front end's OS services on Win32.
#include "app/win32/win32_os.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winhttp.h>

#include "platform/system.h"
#include "app/win32/signature_check.h"
#include "app/win32/win32_dialog.h"

namespace platform {

namespace {

// The strings of a WINHTTP_CURRENT_USER_IE_PROXY_CONFIG belong to the caller
// and go back with GlobalFree, whatever happens while they are read.
struct ProxyConfigStrings {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    ProxyConfigStrings() = default;
    ProxyConfigStrings(const ProxyConfigStrings&) = delete;
    ProxyConfigStrings& operator=(const ProxyConfigStrings&) = delete;
    ~ProxyConfigStrings() {
        for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
            if (text) GlobalFree(text);
        }
    }
};

}  // namespace

Win32Os::~Win32Os() {
    if (m_comInitialised) CoUninitialize();
}

std::wstring Win32Os::ownExecutablePath() { return platform::ownExecutablePath(); }

std::wstring Win32Os::temporaryDirectory() { return platform::temporaryDirectory(); }

bool Win32Os::initializeCom() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // S_FALSE also takes a reference that CoUninitialize must give back.
    if (SUCCEEDED(result)) m_comInitialised = true;
    return result == S_OK;
}

void Win32Os::initializeCommonControls() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
}

bool Win32Os::currentUserProxy(std::optional<std::wstring>& manualProxy) {
    ProxyConfigStrings strings;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&strings.config)) return false;
    if (strings.config.lpszProxy) {
        manualProxy = std::wstring(strings.config.lpszProxy);
    } else {
        manualProxy.reset();
    }
    return true;
}

std::int32_t Win32Os::openRegistryKey(const std::wstring& path, RegistryView view, RegistryKey& key) {
    HKEY opened = nullptr;
    const REGSAM viewFlag = view == RegistryView::Wow64_32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | viewFlag, &opened);
    key = status == ERROR_SUCCESS ? static_cast<RegistryKey>(opened) : nullptr;
    return static_cast<std::int32_t>(status);
}

std::int32_t Win32Os::queryRegistryValue(RegistryKey key, const std::wstring& name, void* buffer,
                                         std::uint32_t& size) {
    DWORD bytes = size;
    const LSTATUS status = RegQueryValueExW(static_cast<HKEY>(key), name.c_str(), nullptr, nullptr,
                                            static_cast<LPBYTE>(buffer), &bytes);
    size = bytes;
    return static_cast<std::int32_t>(status);
}

void Win32Os::closeRegistryKey(RegistryKey key) {
    if (key) RegCloseKey(static_cast<HKEY>(key));
}

bool Win32Os::fileExists(const std::wstring& path) { return PathFileExistsW(path.c_str()) != FALSE; }

std::int32_t Win32Os::verifySignature(std::intptr_t file, const std::wstring& path, std::wstring& signer) {
    return verifyFileSignature(reinterpret_cast<void*>(file), path, signer);
}

std::int32_t Win32Os::shellOpen(const std::wstring& file, const std::wstring& parameters) {
    SetLastError(ERROR_SUCCESS);
    const auto started = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", file.c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL));
    if (started > 32) return kErrorSuccess;
    // The call's own result is a coarse code (SE_ERR_*); the thread's last
    // error says more when the shell set it.
    const DWORD error = GetLastError();
    return static_cast<std::int32_t>(error != ERROR_SUCCESS ? error : static_cast<DWORD>(started));
}

int Win32Os::runModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) {
    return runWin32ModalDialog(templateId, handler, owner);
}

void Win32Os::messageBox(const std::wstring& text, const std::wstring& caption) {
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

}  // namespace platform
