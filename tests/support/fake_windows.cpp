#include "tests/support/fake_windows.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <tuple>

#include "platform/system.h"
#include "platform/text.h"

namespace platform {

namespace {

// A plausible layout of the message box template at 96 DPI: the frame makes
// the window rectangle start left of and above the client area.
constexpr Rect kBoxWindowRect{-3, -26, 296, 102};
constexpr Rect kBoxOkRect{26, 71, 140, 92};
constexpr Rect kBoxCancelRect{149, 71, 265, 92};

// Stands for the shell's registered "TaskbarButtonCreated" message.
constexpr std::uint32_t kTaskbarButtonCreated = 0xC0DE;

const char* stateName(TaskbarState state) {
    switch (state) {
    case TaskbarState::none:
        return "none";
    case TaskbarState::normal:
        return "normal";
    case TaskbarState::paused:
        return "paused";
    case TaskbarState::error:
        return "error";
    }
    return "?";
}

}  // namespace

// A taskbar button that records what it is told; only the window's own
// thread may tell it anything.
class FakeWindows::Button : public TaskbarButton {
public:
    explicit Button(FakeWindows& os) : m_os(os), m_thread(std::this_thread::get_id()) {}
    void setState(TaskbarState state) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        checkThread();
        m_os.m_taskbarStates.push_back(state);
        m_os.recordEvent(std::string("taskbar ") + stateName(state));
    }
    void setValue(std::uint64_t done, std::uint64_t total) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        checkThread();
        m_os.m_taskbarValues.emplace_back(done, total);
    }

private:
    void checkThread() {
        if (std::this_thread::get_id() != m_thread) m_os.recordEvent("taskbar call from another thread");
    }
    FakeWindows& m_os;
    std::thread::id m_thread;
};

// One open dialog: every call is recorded in the dialog's record.
class FakeWindows::Window : public DialogWindow {
public:
    Window(FakeWindows& os, int id) : m_os(os), m_id(id) {}

    void setCaption(const std::wstring& text) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).caption = text;
    }
    void setControlText(int controlId, const std::wstring& text) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        DialogRecord& record = m_os.record(m_id);
        record.texts[controlId] = text;
        record.textHistory.emplace_back(controlId, text);
    }
    void showControl(int controlId, bool shown) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).shown[controlId] = shown;
    }
    Rect windowRectInClient() const override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        return m_os.record(m_id).windowRect;
    }
    Rect controlRectInClient(int controlId) const override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        const auto& rects = m_os.record(m_id).controlRects;
        const auto found = rects.find(controlId);
        return found == rects.end() ? Rect{} : found->second;
    }
    void moveControl(int controlId, int x, int y, int width, int height) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).controlRects[controlId] = Rect{x, y, x + width, y + height};
    }
    void setProgressRange(int, int low, int high) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).progressLow = low;
        m_os.record(m_id).progressHigh = high;
    }
    void setProgressStep(int, int step) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).progressStep = step;
    }
    void setProgressPos(int, int position) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).progressPositions.push_back(position);
    }
    void setIcon(int iconId) override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).iconId = iconId;
    }
    void centerAndShow() override {
        {
            const std::lock_guard<std::mutex> lock(m_os.m_lock);
            m_os.record(m_id).centredAndShown = true;
            // The shell makes a button for a window nobody owns and says so
            // by a message, some time after the window showed.
            if (m_os.m_noTaskbarButtons || m_os.record(m_id).ownerId != -1) return;
        }
        m_os.postTo(m_id, kTaskbarButtonCreated, 0);
    }
    void enableCloseMenuItem() override {
        const std::lock_guard<std::mutex> lock(m_os.m_lock);
        m_os.record(m_id).closeMenuEnabled = true;
    }
    bool postMessage(std::uint32_t message, std::uintptr_t wParam) override {
        return m_os.postTo(m_id, message, wParam);
    }
    void endDialog(int result) override { m_os.endWindow(m_id, result); }

    int id() const { return m_id; }

private:
    FakeWindows& m_os;
    int m_id;
};

namespace {

// The session's named objects: name -> (holder, window published), and how
// often each holder's window was brought to the front.
std::mutex g_claimsLock;
std::map<std::wstring, std::pair<const FakeWindows*, bool>> g_claims;
std::map<const FakeWindows*, int> g_raised;

// Windows compares file names without regard to case.
std::wstring foldCase(std::wstring path) {
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    return path;
}

}  // namespace

FakeWindows::FakeWindows() = default;

FakeWindows::~FakeWindows() {
    const std::lock_guard<std::mutex> lock(g_claimsLock);
    std::erase_if(g_claims, [this](const auto& claim) { return claim.second.first == this; });
    g_raised.erase(this);
}

bool FakeWindows::claimRunningCopy(const std::wstring& name) {
    const std::lock_guard<std::mutex> lock(g_claimsLock);
    return g_claims.try_emplace(name, this, false).second;
}

void FakeWindows::publishRunningWindow(DialogWindow&) { publishWindowOfItsOwn(); }

std::unique_ptr<TaskbarButton> FakeWindows::taskbarButton(DialogWindow&) { return std::make_unique<Button>(*this); }

void FakeWindows::withholdTaskbarButtons() {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_noTaskbarButtons = true;
}

std::vector<TaskbarState> FakeWindows::taskbarStates() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_taskbarStates;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> FakeWindows::taskbarValues() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_taskbarValues;
}

void FakeWindows::publishWindowOfItsOwn() {
    const std::lock_guard<std::mutex> lock(g_claimsLock);
    for (auto& claim : g_claims) {
        if (claim.second.first == this) claim.second.second = true;
    }
}

bool FakeWindows::activateRunningCopy(const std::wstring& name, int) {
    std::wstring ownImage;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_activations.push_back(name);
        ownImage = m_ownPath;
    }
    const std::lock_guard<std::mutex> lock(g_claimsLock);
    const auto found = g_claims.find(name);
    if (found == g_claims.end() || !found->second.second) return false;
    const FakeWindows* holder = found->second.first;
    std::wstring holderImage;
    {
        const std::lock_guard<std::mutex> holderLock(holder->m_lock);
        holderImage = holder->m_ownPath;
    }
    // As on Windows: only a window of a process that runs this very program file.
    if (foldCase(holderImage) != foldCase(ownImage)) return false;
    ++g_raised[holder];
    return true;
}

int FakeWindows::timesRaised() const {
    const std::lock_guard<std::mutex> lock(g_claimsLock);
    const auto found = g_raised.find(this);
    return found == g_raised.end() ? 0 : found->second;
}

std::vector<std::wstring> FakeWindows::activations() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_activations;
}

// --- configuration ---

void FakeWindows::setOwnExecutablePath(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_ownPath = path;
}

void FakeWindows::setDownloadFolder(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_tempDir = path;
}

void FakeWindows::failDownloadFolder() {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_tempDirFails = true;
}

void FakeWindows::setComResult(bool ok) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_comOk = ok;
}

void FakeWindows::setCurrentUserProxy(bool callSucceeds, std::optional<std::wstring> manualProxy) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_proxyCallSucceeds = callSucceeds;
    m_manualProxy = std::move(manualProxy);
}

void FakeWindows::setAutoProxySettings(std::optional<std::wstring> autoConfigUrl, bool autoDetect) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_autoConfigUrl = std::move(autoConfigUrl);
    m_autoDetect = autoDetect;
}

void FakeWindows::setAutoProxyAnswer(AutoProxySource source, AutoProxyAnswer answer, std::chrono::milliseconds delay) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_autoProxyAnswers[source] = {std::move(answer), delay};
}

void FakeWindows::addRegistryKey(const std::wstring& path, RegistryView view) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_registry[KeyName{view, path}];
}

void FakeWindows::setRegistryString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text,
                                   RegistryView view) {
    std::vector<std::uint8_t> bytes;
    for (const char16_t unit : toUtf16(text) + u'\0') {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    setRegistryBytes(keyPath, name, std::move(bytes), view);
}

void FakeWindows::setRegistryBytes(const std::wstring& keyPath, const std::wstring& name,
                                  std::vector<std::uint8_t> bytes, RegistryView view) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_registry[KeyName{view, keyPath}][name] = std::move(bytes);
}

void FakeWindows::denyRegistryKey(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_deniedKeys.insert(path);
}

void FakeWindows::addFile(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_files.insert(path);
}

void FakeWindows::setLaunchResult(std::int32_t code) { setLaunchResults({code}); }

void FakeWindows::setLaunchResults(std::vector<std::int32_t> codes) {
    const std::lock_guard<std::mutex> lock(m_lock);
    if (!codes.empty()) m_launchResults.assign(codes.begin(), codes.end());
}

void FakeWindows::failWindowCreation() {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_noWindows = true;
}

void FakeWindows::setSignature(std::int32_t result, const std::wstring& signer) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_signatureResult = result;
    m_signer = signer;
}

void FakeWindows::setModalTimeout(std::chrono::milliseconds timeout) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_modalTimeout = timeout;
}

void FakeWindows::scriptInput(int templateId, UserInput input, std::function<bool()> when) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_script.push_back(Scripted{m_nextSerial++, templateId, input, std::move(when)});
    m_queueChanged.notify_all();
}

std::size_t FakeWindows::pendingInputs() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_script.size();
}

// --- records ---

std::vector<DialogRecord> FakeWindows::dialogs() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_records;
}

std::vector<DialogRecord> FakeWindows::dialogsWithTemplate(int templateId) const {
    const std::lock_guard<std::mutex> lock(m_lock);
    std::vector<DialogRecord> result;
    std::copy_if(m_records.begin(), m_records.end(), std::back_inserter(result),
                 [templateId](const DialogRecord& record) { return record.templateId == templateId; });
    return result;
}

std::vector<LaunchRecord> FakeWindows::launches() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_launches;
}

std::vector<std::pair<bool, std::thread::id>> FakeWindows::awakeRequests() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_awakeRequests;
}

std::vector<std::pair<std::intptr_t, std::wstring>> FakeWindows::signatureChecks() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_signatureChecks;
}

std::vector<std::pair<std::wstring, std::wstring>> FakeWindows::messageBoxes() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_messageBoxes;
}

std::vector<std::string> FakeWindows::events() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_events;
}

void FakeWindows::addEvent(const std::string& event) {
    const std::lock_guard<std::mutex> lock(m_lock);
    recordEvent(event);
}

std::vector<std::pair<RegistryView, std::wstring>> FakeWindows::registryKeysOpened() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_keysOpened;
}

int FakeWindows::openRegistryKeys() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<int>(m_openKeys.size());
}

int FakeWindows::proxyQueries() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_proxyQueries;
}

std::vector<AutoProxyQuery> FakeWindows::autoProxyQueries() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_autoProxyQueries;
}

int FakeWindows::comInitialisations() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_comCount;
}

int FakeWindows::commonControlsInitialisations() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_controlsCount;
}

// --- OsServices ---

std::wstring FakeWindows::ownExecutablePath() {
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (!m_ownPath.empty()) return m_ownPath;
    }
    return platform::ownExecutablePath();
}

std::wstring FakeWindows::downloadFolder() {
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (m_tempDirFails) throw std::runtime_error("no download folder");
        if (m_tempDir) return *m_tempDir;
    }
    return platform::temporaryDirectory();
}

bool FakeWindows::readDownloadRecord(const std::wstring& name, std::string& record) {
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_downloadRecords.find(name);
    if (found == m_downloadRecords.end()) return false;
    record = found->second;
    return true;
}

bool FakeWindows::writeDownloadRecord(const std::wstring& name, const std::string& record) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_downloadRecords[name] = record;
    return true;
}

bool FakeWindows::eraseDownloadRecord(const std::wstring& name) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_downloadRecords.erase(name);
    return true;
}

std::map<std::wstring, std::string> FakeWindows::downloadRecords() const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_downloadRecords;
}

bool FakeWindows::initializeCom() {
    const std::lock_guard<std::mutex> lock(m_lock);
    ++m_comCount;
    return m_comOk;
}

void FakeWindows::initializeCommonControls() {
    const std::lock_guard<std::mutex> lock(m_lock);
    ++m_controlsCount;
}

bool FakeWindows::currentUserProxy(UserProxySettings& settings) {
    const std::lock_guard<std::mutex> lock(m_lock);
    ++m_proxyQueries;
    if (!m_proxyCallSucceeds) return false;
    settings.manualProxy = m_manualProxy;
    settings.autoConfigUrl = m_autoConfigUrl;
    settings.autoDetect = m_autoDetect;
    return true;
}

AutoProxyAnswer FakeWindows::proxyForUrl(const std::wstring& url, AutoProxySource source,
                                         const std::wstring& configUrl, std::chrono::milliseconds bound,
                                         const std::atomic<bool>* abort) {
    AutoProxyAnswer answer;
    std::chrono::milliseconds delay{0};
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_autoProxyQueries.push_back({source, url, configUrl, bound});
        const auto found = m_autoProxyAnswers.find(source);
        if (found != m_autoProxyAnswers.end()) std::tie(answer, delay) = found->second;
    }
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < delay) {
        if ((abort && *abort) || std::chrono::steady_clock::now() - started >= bound) {
            AutoProxyAnswer unanswered;
            unanswered.error = kErrorWinHttpTimeout;
            return unanswered;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return answer;
}

std::int32_t FakeWindows::openRegistryKey(const std::wstring& path, RegistryView view, RegistryKey& key) {
    const std::lock_guard<std::mutex> lock(m_lock);
    const KeyName name{view, path};
    m_keysOpened.push_back(name);
    if (m_deniedKeys.count(path)) return kErrorAccessDenied;
    if (!m_registry.count(name)) return kErrorFileNotFound;
    const std::uintptr_t handle = m_nextKey++;
    m_openKeys[handle] = name;
    key = reinterpret_cast<RegistryKey>(handle);
    return kErrorSuccess;
}

std::int32_t FakeWindows::queryRegistryValue(RegistryKey key, const std::wstring& name, void* buffer,
                                            std::uint32_t& size) {
    constexpr std::int32_t kErrorInvalidHandle = 6;
    const std::lock_guard<std::mutex> lock(m_lock);
    const auto open = m_openKeys.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == m_openKeys.end()) return kErrorInvalidHandle;
    const auto& values = m_registry[open->second];
    const auto value = values.find(name);
    if (value == values.end()) return kErrorFileNotFound;
    const std::vector<std::uint8_t>& bytes = value->second;
    if (bytes.size() > size) {
        size = static_cast<std::uint32_t>(bytes.size());
        return kErrorMoreData;
    }
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    size = static_cast<std::uint32_t>(bytes.size());
    return kErrorSuccess;
}

void FakeWindows::closeRegistryKey(RegistryKey key) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_openKeys.erase(reinterpret_cast<std::uintptr_t>(key));
}

bool FakeWindows::fileExists(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_files.count(path) != 0;
}

std::int32_t FakeWindows::verifySignature(std::intptr_t file, const std::wstring& path, std::wstring& signer) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_signatureChecks.emplace_back(file, path);
    m_events.push_back("verify");
    signer = m_signatureResult == 0 ? m_signer : std::wstring();
    return m_signatureResult;
}

std::int32_t FakeWindows::shellOpen(const std::wstring& file, const std::wstring& parameters,
                                   const std::wstring& directory) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_launches.push_back(LaunchRecord{file, parameters, directory});
    m_events.push_back("launch");
    const std::int32_t code = m_launchResults.front();
    if (m_launchResults.size() > 1) m_launchResults.pop_front();
    return code;
}

void FakeWindows::keepSystemAwake(bool required) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_awakeRequests.emplace_back(required, std::this_thread::get_id());
    m_events.push_back(required ? "awake" : "awake released");
}

void FakeWindows::messageBox(const std::wstring& text, const std::wstring& caption) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_messageBoxes.emplace_back(text, caption);
    m_events.push_back("messagebox");
}

// --- dialogs ---

DialogRecord& FakeWindows::record(int windowId) { return m_records.at(static_cast<std::size_t>(windowId)); }

void FakeWindows::recordEvent(std::string event) { m_events.push_back(std::move(event)); }

int FakeWindows::runModalDialog(int templateId, DialogHandler& handler, DialogWindow* owner) {
    const auto* ownerWindow = dynamic_cast<const Window*>(owner);
    int id = 0;
    std::chrono::milliseconds timeout{};
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (m_noWindows) return -1;
        id = static_cast<int>(m_records.size());
        DialogRecord record;
        record.id = id;
        record.templateId = templateId;
        if (templateId == kMessageBoxTemplate) {
            record.windowRect = kBoxWindowRect;
            record.controlRects[kIdOk] = kBoxOkRect;
            record.controlRects[kIdCancel] = kBoxCancelRect;
        }
        WindowState state;
        state.handler = &handler;
        state.templateId = templateId;
        state.thread = std::this_thread::get_id();
        if (ownerWindow && m_windows.count(ownerWindow->id())) {
            record.ownerId = ownerWindow->id();
            WindowState& ownerState = m_windows[ownerWindow->id()];
            record.onOwnerThread = ownerState.thread == state.thread;
            ++ownerState.ownedOpen;
            state.ownerId = ownerWindow->id();
        }
        m_records.push_back(record);
        m_windows[id] = state;
        recordEvent("open " + std::to_string(templateId));
        timeout = m_modalTimeout;
    }
    Window window(*this, id);
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_windows[id].window = &window;
    }

    try {
        handler.onInitDialog(window);
    } catch (...) {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_windows[id].failure = std::current_exception();
        }
        endWindow(id, -1);
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!isEnded(id)) {
        if (deliverScriptedInput()) continue;
        dispatchOne(std::chrono::milliseconds(2));
        if (std::chrono::steady_clock::now() > deadline && !isEnded(id)) {
            {
                const std::lock_guard<std::mutex> lock(m_lock);
                record(id).abandoned = true;
            }
            endWindow(id, -2);
        }
    }

    // The window goes away: what is still queued for it is never delivered.
    std::vector<Posted> undelivered;
    std::exception_ptr failure;
    int result = 0;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->windowId == id) {
                // The shell's note carries nothing to free (Windows' drain
                // covers only the program's own messages).
                if (it->message != kTaskbarButtonCreated) undelivered.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
        WindowState& state = m_windows[id];
        failure = state.failure;
        if (state.ownerId >= 0 && m_windows.count(state.ownerId)) --m_windows[state.ownerId].ownedOpen;
        m_windows.erase(id);
        record(id).undeliveredMessages = static_cast<int>(undelivered.size());
        result = record(id).result;
    }
    for (const Posted& posted : undelivered) handler.onUndeliveredMessage(posted.message, posted.wParam);
    handler.onDestroyed();
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        record(id).destroyed = true;
        recordEvent("destroy " + std::to_string(templateId));
        m_queueChanged.notify_all();
    }
    if (failure) std::rethrow_exception(failure);
    return result;
}

bool FakeWindows::postTo(int windowId, std::uint32_t message, std::uintptr_t wParam) {
    const std::lock_guard<std::mutex> lock(m_lock);
    if (!m_windows.count(windowId)) return false;
    m_queue.push_back(Posted{windowId, message, wParam});
    m_queueChanged.notify_all();
    return true;
}

void FakeWindows::endWindow(int windowId, int result) {
    const std::lock_guard<std::mutex> lock(m_lock);
    DialogRecord& ended = record(windowId);
    ended.ended = true;
    ended.result = result;
    recordEvent("end " + std::to_string(ended.templateId) + " " + std::to_string(result));
    m_queueChanged.notify_all();
}

bool FakeWindows::isEnded(int windowId) const {
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_records.at(static_cast<std::size_t>(windowId)).ended;
}

bool FakeWindows::dispatchOne(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    const auto self = std::this_thread::get_id();
    const auto pick = [&] {
        return std::find_if(m_queue.begin(), m_queue.end(), [&](const Posted& posted) {
            const auto state = m_windows.find(posted.windowId);
            // Like Win32: EndDialog only makes the window's own modal loop return;
            // until the window is destroyed, any loop on its thread (a box it
            // owns, say) still delivers its posted messages.
            return state != m_windows.end() && state->second.thread == self;
        });
    };
    auto found = pick();
    if (found == m_queue.end()) {
        m_queueChanged.wait_for(lock, wait);
        found = pick();
        if (found == m_queue.end()) return false;
    }
    const Posted posted = *found;
    m_queue.erase(found);
    DialogHandler* handler = m_windows[posted.windowId].handler;
    lock.unlock();
    try {
        if (posted.message == kTaskbarButtonCreated)
            handler->onTaskbarButtonCreated();
        else
            handler->onAppMessage(posted.message, posted.wParam);
    } catch (...) {
        {
            const std::lock_guard<std::mutex> relock(m_lock);
            m_windows[posted.windowId].failure = std::current_exception();
        }
        endWindow(posted.windowId, -1);
    }
    return true;
}

bool FakeWindows::deliverScriptedInput() {
    struct Candidate {
        std::uint64_t serial;
        int windowId;
        UserInput input;
        std::function<bool()> when;
    };
    std::vector<Candidate> candidates;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto self = std::this_thread::get_id();
        std::set<int> seenTemplates;
        for (const Scripted& entry : m_script) {
            // Inputs for one template go in the order given.
            if (!seenTemplates.insert(entry.templateId).second) continue;
            int newest = -1;
            for (const auto& [windowId, state] : m_windows) {
                if (state.templateId == entry.templateId && state.thread == self && !record(windowId).ended) {
                    newest = std::max(newest, windowId);
                }
            }
            if (newest >= 0) candidates.push_back(Candidate{entry.serial, newest, entry.input, entry.when});
        }
    }
    for (const Candidate& candidate : candidates) {
        if (candidate.when && !candidate.when()) continue;
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            const auto entry = std::find_if(m_script.begin(), m_script.end(),
                                            [&](const Scripted& s) { return s.serial == candidate.serial; });
            if (entry == m_script.end()) continue;
            m_script.erase(entry);
        }
        deliverInput(candidate.windowId, candidate.input);
        return true;
    }
    return false;
}

void FakeWindows::deliverInput(int windowId, UserInput input) {
    DialogHandler* handler = nullptr;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto state = m_windows.find(windowId);
        if (state == m_windows.end()) return;
        DialogRecord& target = record(windowId);
        const auto hidden = [&target](int controlId) {
            const auto shown = target.shown.find(controlId);
            return shown != target.shown.end() && !shown->second;
        };
        const bool dropped = state->second.ownedOpen > 0 || (input == UserInput::ClickOk && hidden(kIdOk)) ||
                             (input == UserInput::ClickCancel && hidden(kIdCancel));
        if (dropped) {
            target.inputsDropped.push_back(input);
            return;
        }
        target.inputsHandled.push_back(input);
        handler = state->second.handler;
    }
    try {
        switch (input) {
        case UserInput::ClickOk:
        case UserInput::Enter:
            handler->onCommand(kIdOk);
            break;
        case UserInput::ClickCancel:
        case UserInput::Esc:
            handler->onCommand(kIdCancel);
            break;
        case UserInput::Close:
            handler->onClose();
            break;
        }
    } catch (...) {
        {
            const std::lock_guard<std::mutex> lock(m_lock);
            m_windows[windowId].failure = std::current_exception();
        }
        endWindow(windowId, -1);
    }
}

}  // namespace platform
