// The resume state's record as the front end keeps it: through the OS
// services, which keep it where only an elevated process can write (HKLM on
// Windows), one record per state file name.
#pragma once

#include <string>

#include "app/os_services.h"
#include "downloader/resume_record.h"

class OsResumeRecordStore final : public ResumeRecordStore {
public:
    // `statePath`: the resume state's path; its file name names the record.
    OsResumeRecordStore(platform::OsServices& os, const std::wstring& statePath);

    bool load(std::string& text) override;
    bool store(const std::string& text) override;
    bool erase() override;

private:
    platform::OsServices& m_os;
    std::wstring m_name;
};
