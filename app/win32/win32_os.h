// The Windows side of the front end's OS seam: every call maps onto the Win32
// call its interface names, and every handle and string the system hands over
// is released before the call returns.
#pragma once

#include <memory>

#include "app/os_services.h"
#include "app/win32/download_folder.h"
#include "app/win32/machine_record.h"
#include "app/win32/running_copy.h"

namespace platform {

class Win32Os final : public OsServices {
public:
    Win32Os() = default;
    // Balances a successful initializeCom; gives the running-copy claim back.
    ~Win32Os() override;
    Win32Os(const Win32Os&) = delete;
    Win32Os& operator=(const Win32Os&) = delete;

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
    bool claimRunningCopy(const std::wstring& name) override;
    void publishRunningWindow(DialogWindow& window) override;
    bool activateRunningCopy(const std::wstring& name, int waitMs) override;

private:
    bool m_comInitialised = false;
    // The user's key under HKLM, and the download folder, held from its
    // first use until these services go away.
    MachineRecord m_record;
    DownloadFolder m_folder;
    // The claim, given back with these services, that is when the process ends.
    RunningCopy m_runningCopy;
};

}  // namespace platform
