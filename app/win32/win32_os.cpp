// The front end's OS services on Win32.
#include "app/win32/win32_os.h"

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winhttp.h>

#include "platform/system.h"
#include "app/win32/signature_check.h"
#include "app/win32/taskbar_button.h"
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

// One WinHttpGetProxyForUrl on a session of its own. Everything it touches is
// its own, so a caller that stops waiting may leave it running.
AutoProxyAnswer askWinHttp(const std::wstring& url, AutoProxySource source, const std::wstring& configUrl,
                           std::chrono::milliseconds bound) {
    AutoProxyAnswer answer;
    HINTERNET session =
        WinHttpOpen(L"Vorlane Downloader", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        answer.error = static_cast<std::int32_t>(GetLastError());
        return answer;
    }
    // The script's download keeps to the caller's bound where WinHTTP honours
    // the session's time-outs; the caller's wait bounds it either way.
    const int timeout = static_cast<int>(bound.count());
    WinHttpSetTimeouts(session, timeout, timeout, timeout, timeout);

    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (source == AutoProxySource::ConfigUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = configUrl.c_str();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO info{};
    if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
        answer.answered = true;
        if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
            answer.proxyList = std::wstring(info.lpszProxy);
    } else {
        answer.error = static_cast<std::int32_t>(GetLastError());
    }
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    WinHttpCloseHandle(session);
    return answer;
}

// What the waiting caller and the WinHTTP thread share; the last holder frees it.
struct AutoProxyCall {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    AutoProxyAnswer answer;
};

}  // namespace

Win32Os::~Win32Os() {
    if (m_comInitialised) CoUninitialize();
}

std::wstring Win32Os::ownExecutablePath() { return platform::ownExecutablePath(); }

std::wstring Win32Os::downloadFolder() { return m_folder.open(m_record); }

namespace {

// State records sit beside the folder's own value in the user's key.
std::wstring stateRecordName(const std::wstring& name) { return L"State " + name; }

}  // namespace

bool Win32Os::readDownloadRecord(const std::wstring& name, std::string& record) {
    std::vector<std::uint8_t> bytes;
    if (!m_record.read(stateRecordName(name), bytes)) return false;
    record.assign(bytes.begin(), bytes.end());
    return true;
}

bool Win32Os::writeDownloadRecord(const std::wstring& name, const std::string& record) {
    return m_record.write(stateRecordName(name), std::vector<std::uint8_t>(record.begin(), record.end()));
}

bool Win32Os::eraseDownloadRecord(const std::wstring& name) { return m_record.erase(stateRecordName(name)); }

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

bool Win32Os::currentUserProxy(UserProxySettings& settings) {
    ProxyConfigStrings strings;
    if (!WinHttpGetIEProxyConfigForCurrentUser(&strings.config)) return false;
    const auto text = [](LPCWSTR value) { return value ? std::optional<std::wstring>(value) : std::nullopt; };
    settings.autoDetect = strings.config.fAutoDetect != FALSE;
    settings.autoConfigUrl = text(strings.config.lpszAutoConfigUrl);
    settings.manualProxy = text(strings.config.lpszProxy);
    return true;
}

AutoProxyAnswer Win32Os::proxyForUrl(const std::wstring& url, AutoProxySource source, const std::wstring& configUrl,
                                     std::chrono::milliseconds bound, const std::atomic<bool>* abort) {
    AutoProxyAnswer unanswered;
    unanswered.error = kErrorWinHttpTimeout;
    // WinHTTP gives no way to cut the call short: it runs on a thread of its
    // own that a closing window or a spent bound leaves behind.
    auto call = std::make_shared<AutoProxyCall>();
    try {
        std::thread([call, url, source, configUrl, bound] {
            AutoProxyAnswer answer;
            try {
                answer = askWinHttp(url, source, configUrl, bound);
            } catch (...) {
                answer = AutoProxyAnswer{};
            }
            const std::lock_guard<std::mutex> lock(call->lock);
            call->answer = std::move(answer);
            call->done = true;
            call->finished.notify_all();
        }).detach();
    } catch (...) {
        return unanswered;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(call->lock);
    while (!call->done) {
        if ((abort && *abort) || std::chrono::steady_clock::now() >= deadline) return unanswered;
        call->finished.wait_for(lock, std::chrono::milliseconds(20));
    }
    return call->answer;
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

std::int32_t Win32Os::shellOpen(const std::wstring& file, const std::wstring& parameters,
                                const std::wstring& directory) {
    // The shell may hand the start to COM objects, which want an apartment on
    // the calling thread; a thread that has one already keeps it.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No box of the shell's own: the caller words the failure, and the
    // thread's last error carries the system's code. NOASYNC: the calling
    // thread may end right after the call.
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    SetLastError(ERROR_SUCCESS);
    const bool started = ShellExecuteExW(&info) != FALSE;
    const DWORD error = started ? ERROR_SUCCESS : GetLastError();
    if (SUCCEEDED(com)) CoUninitialize();
    if (started) return kErrorSuccess;
    // hInstApp holds a coarse code (SE_ERR_*) when the shell set no last error.
    return static_cast<std::int32_t>(error != ERROR_SUCCESS
                                         ? error
                                         : static_cast<DWORD>(reinterpret_cast<INT_PTR>(info.hInstApp)));
}

void Win32Os::keepSystemAwake(bool required) {
    SetThreadExecutionState(required ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

int Win32Os::runModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) {
    return runWin32ModalDialog(templateId, handler, owner);
}

void Win32Os::messageBox(const std::wstring& text, const std::wstring& caption) {
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
}

std::unique_ptr<TaskbarButton> Win32Os::taskbarButton(DialogWindow& window) {
    auto* dialog = dynamic_cast<Win32DialogWindow*>(&window);
    return dialog ? makeTaskbarButton(dialog->handle()) : nullptr;
}

bool Win32Os::claimRunningCopy(const std::wstring& name) { return m_runningCopy.claim(name); }

void Win32Os::publishRunningWindow(DialogWindow& window) {
    if (auto* dialog = dynamic_cast<Win32DialogWindow*>(&window)) m_runningCopy.publish(dialog->handle());
}

bool Win32Os::activateRunningCopy(const std::wstring& name, int waitMs) {
    return m_runningCopy.activate(name, waitMs);
}

}  // namespace platform
