// An in-process side of the OS seam, without any real window: dialogs run a
// real modal loop on the calling thread over a real message queue, user input
// comes from a script, and everything the front end asks of the system
// (registry values, files, the proxy setting, program starts, message boxes)
// is served from memory and recorded. The front end's tests use it on every
// platform; no product links it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/os_services.h"

namespace platform {

// What a user does to an open dialog.
enum class UserInput {
    ClickOk,      // the OK button (only while it is shown)
    ClickCancel,  // the cancel button (only while it is shown)
    Enter,        // IDOK through the keyboard
    Esc,          // IDCANCEL through the keyboard
    Close,        // the close box or Alt+F4 (WM_CLOSE)
};

// Everything one dialog showed and did, as recorded.
struct DialogRecord {
    int id = 0;                 // in order of opening, from 0
    int templateId = 0;
    int ownerId = -1;           // -1: no owner
    bool onOwnerThread = true;  // opened on the thread that runs its owner
    std::wstring caption;
    std::map<int, std::wstring> texts;                     // by control id
    std::vector<std::pair<int, std::wstring>> textHistory;  // every text set, in order
    std::map<int, bool> shown;                             // controls shown (true) or hidden
    std::map<int, Rect> controlRects;
    Rect windowRect;
    int progressLow = 0;
    int progressHigh = 0;
    int progressStep = 0;
    std::vector<int> progressPositions;  // every PBM_SETPOS, in order
    int iconId = 0;
    bool centredAndShown = false;
    bool closeMenuEnabled = false;
    std::vector<UserInput> inputsHandled;
    std::vector<UserInput> inputsDropped;  // arrived while disabled, or at a hidden button
    bool ended = false;
    int result = 0;
    bool destroyed = false;
    bool abandoned = false;  // its modal loop ran out of time
    int undeliveredMessages = 0;
};

// One question to the WinHTTP stand-in.
struct AutoProxyQuery {
    AutoProxySource source;
    std::wstring url;
    std::wstring configUrl;
    std::chrono::milliseconds bound;
};

struct LaunchRecord {
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;  // the started program's current directory
};

class FakeWindows : public OsServices {
public:
    FakeWindows();
    ~FakeWindows() override;
    FakeWindows(const FakeWindows&) = delete;
    FakeWindows& operator=(const FakeWindows&) = delete;

    // --- What the system looks like (set before the run) ---
    void setOwnExecutablePath(const std::wstring& path);
    void setDownloadFolder(const std::wstring& path);
    void failDownloadFolder();  // the query throws
    // The records kept for the download folder's states, by state file name.
    std::map<std::wstring, std::string> downloadRecords() const;
    void setComResult(bool ok);
    // The WinHTTP call: fails, or succeeds with or without a manual proxy text.
    void setCurrentUserProxy(bool callSucceeds, std::optional<std::wstring> manualProxy);
    // The rest of those settings: the script address and the auto-detect flag.
    void setAutoProxySettings(std::optional<std::wstring> autoConfigUrl, bool autoDetect);
    // What proxyForUrl answers for a source (unanswered until set), after
    // `delay`, keeping to the caller's bound and abort flag as Windows' side does.
    void setAutoProxyAnswer(AutoProxySource source, AutoProxyAnswer answer,
                            std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // Keys and values live in one registry view; the native view of the
    // 64-bit program unless told otherwise.
    void addRegistryKey(const std::wstring& path, RegistryView view = RegistryView::Wow64_64);
    // A string value as Windows stores it: UTF-16LE with its terminating zero.
    void setRegistryString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text,
                           RegistryView view = RegistryView::Wow64_64);
    void setRegistryBytes(const std::wstring& keyPath, const std::wstring& name, std::vector<std::uint8_t> bytes,
                          RegistryView view = RegistryView::Wow64_64);
    // Opening fails with access denied (in either view).
    void denyRegistryKey(const std::wstring& path);
    void addFile(const std::wstring& path);  // exists for fileExists
    // What verifySignature answers from now on (0 and the signer's name: accepted).
    void setSignature(std::int32_t result, const std::wstring& signer);
    // What shellOpen returns from now on (0: started); every call is recorded either way.
    void setLaunchResult(std::int32_t code);
    // What the next starts return in turn, the last one from then on.
    void setLaunchResults(std::vector<std::int32_t> codes);
    // No dialog can be created from now on (no desktop): runModalDialog returns -1.
    void failWindowCreation();
    // The shell makes no taskbar button (no TaskbarButtonCreated for any
    // window), as when no shell runs.
    void withholdTaskbarButtons();
    // A modal loop that runs longer than this ends its dialog with -2 (a
    // hanging test fails instead of hanging).
    void setModalTimeout(std::chrono::milliseconds timeout);

    // --- The user: input delivered to the newest open dialog with the
    // template, on its own thread, once `when` holds (inputs for one template
    // are delivered in the order given) ---
    void scriptInput(int templateId, UserInput input, std::function<bool()> when = {});
    std::size_t pendingInputs() const;

    // --- What happened ---
    std::vector<DialogRecord> dialogs() const;
    std::vector<DialogRecord> dialogsWithTemplate(int templateId) const;
    std::vector<LaunchRecord> launches() const;
    // Every keepSystemAwake call: whether it asked to stay awake, and its thread.
    std::vector<std::pair<bool, std::thread::id>> awakeRequests() const;
    // Every verifySignature call: the handle and the path.
    std::vector<std::pair<std::intptr_t, std::wstring>> signatureChecks() const;
    std::vector<std::pair<std::wstring, std::wstring>> messageBoxes() const;  // (text, caption)
    std::vector<std::string> events() const;  // "open 131", "end 102 1", "launch", ... in order
    // Adds a marker of the caller's own to the event log (for ordering checks).
    void addEvent(const std::string& event);
    // Every open attempt: the view and the path.
    std::vector<std::pair<RegistryView, std::wstring>> registryKeysOpened() const;
    int openRegistryKeys() const;  // opened and not yet closed
    int proxyQueries() const;
    std::vector<AutoProxyQuery> autoProxyQueries() const;
    int comInitialisations() const;
    // Running-copy names this copy asked to bring to the front.
    std::vector<std::wstring> activations() const;
    // How often another copy brought this one's published window to the front.
    int timesRaised() const;
    int commonControlsInitialisations() const;
    // What the taskbar buttons were told, in order: every SetProgressState
    // (also logged in events() as "taskbar <state>") and every SetProgressValue.
    std::vector<TaskbarState> taskbarStates() const;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> taskbarValues() const;

    // --- OsServices ---
    std::wstring ownExecutablePath() override;
    std::wstring downloadFolder() override;
    bool readDownloadRecord(const std::wstring& name, std::string& record) override;
    bool writeDownloadRecord(const std::wstring& name, const std::string& record) override;
    bool eraseDownloadRecord(const std::wstring& name) override;
    bool initializeCom() override;
    void initializeCommonControls() override;
    bool currentUserProxy(UserProxySettings& settings) override;
    AutoProxyAnswer proxyForUrl(const std::wstring& url, AutoProxySource source, const std::wstring& configUrl,
                                std::chrono::milliseconds bound, const std::atomic<bool>* abort) override;
    std::int32_t openRegistryKey(const std::wstring& path, RegistryView view, RegistryKey& key) override;
    std::int32_t queryRegistryValue(RegistryKey key, const std::wstring& name, void* buffer,
                                    std::uint32_t& size) override;
    void closeRegistryKey(RegistryKey key) override;
    bool fileExists(const std::wstring& path) override;
    std::int32_t verifySignature(std::intptr_t file, const std::wstring& path, std::wstring& signer) override;
    std::int32_t shellOpen(const std::wstring& file, const std::wstring& parameters,
                           const std::wstring& directory) override;
    void keepSystemAwake(bool required) override;
    int runModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) override;
    void messageBox(const std::wstring& text, const std::wstring& caption) override;
    std::unique_ptr<TaskbarButton> taskbarButton(DialogWindow& window) override;
    // Claims live in one namespace shared by every FakeWindows of the test
    // process (the session), each released when its FakeWindows goes away.
    bool claimRunningCopy(const std::wstring& name) override;
    void publishRunningWindow(DialogWindow& window) override;
    // True (and the holder's window counted as raised) when the holder of
    // `name` has published a window and runs the same program file as this
    // copy (ownExecutablePath, case ignored).
    bool activateRunningCopy(const std::wstring& name, int waitMs) override;
    // A window of this process published under every name it holds, as a
    // process without dialogs (a squatter) publishes one.
    void publishWindowOfItsOwn();

private:
    class Window;
    class Button;
    struct WindowState {
        Window* window = nullptr;
        DialogHandler* handler = nullptr;
        int templateId = 0;
        std::thread::id thread;
        int ownedOpen = 0;  // open dialogs it owns: while > 0 it takes no input
        int ownerId = -1;
        std::exception_ptr failure;
    };
    struct Posted {
        int windowId;
        std::uint32_t message;
        std::uintptr_t wParam;
    };
    struct Scripted {
        std::uint64_t serial;
        int templateId;
        UserInput input;
        std::function<bool()> when;
    };

    bool postTo(int windowId, std::uint32_t message, std::uintptr_t wParam);
    void endWindow(int windowId, int result);
    bool isEnded(int windowId) const;
    bool deliverScriptedInput();
    bool dispatchOne(std::chrono::milliseconds wait);
    void deliverInput(int windowId, UserInput input);
    void recordEvent(std::string event);
    DialogRecord& record(int windowId);

    mutable std::mutex m_lock;
    std::condition_variable m_queueChanged;
    std::deque<Posted> m_queue;
    std::map<int, WindowState> m_windows;  // open (not yet destroyed) dialogs
    std::vector<DialogRecord> m_records;
    std::deque<Scripted> m_script;
    std::uint64_t m_nextSerial = 0;
    std::chrono::milliseconds m_modalTimeout{30000};

    std::wstring m_ownPath;
    std::optional<std::wstring> m_tempDir;
    bool m_tempDirFails = false;
    std::map<std::wstring, std::string> m_downloadRecords;
    bool m_comOk = true;
    int m_comCount = 0;
    int m_controlsCount = 0;
    bool m_proxyCallSucceeds = false;
    std::optional<std::wstring> m_manualProxy;
    int m_proxyQueries = 0;
    std::optional<std::wstring> m_autoConfigUrl;
    bool m_autoDetect = false;
    std::map<AutoProxySource, std::pair<AutoProxyAnswer, std::chrono::milliseconds>> m_autoProxyAnswers;
    std::vector<AutoProxyQuery> m_autoProxyQueries;
    using KeyName = std::pair<RegistryView, std::wstring>;
    std::map<KeyName, std::map<std::wstring, std::vector<std::uint8_t>>> m_registry;
    std::set<std::wstring> m_deniedKeys;
    std::map<std::uintptr_t, KeyName> m_openKeys;
    std::uintptr_t m_nextKey = 0x100;
    std::vector<KeyName> m_keysOpened;
    std::deque<std::int32_t> m_launchResults{0};
    std::vector<std::pair<bool, std::thread::id>> m_awakeRequests;
    std::int32_t m_signatureResult = 0;
    std::wstring m_signer;
    std::vector<std::pair<std::intptr_t, std::wstring>> m_signatureChecks;
    std::set<std::wstring> m_files;
    std::vector<LaunchRecord> m_launches;
    std::vector<std::pair<std::wstring, std::wstring>> m_messageBoxes;
    std::vector<std::string> m_events;
    std::vector<std::wstring> m_activations;
    bool m_noWindows = false;
    bool m_noTaskbarButtons = false;
    std::vector<TaskbarState> m_taskbarStates;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_taskbarValues;
};

}  // namespace platform
