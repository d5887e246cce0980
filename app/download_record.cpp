#include "app/download_record.h"

OsResumeRecordStore::OsResumeRecordStore(platform::OsServices& os, const std::wstring& statePath)
    : m_os(os), m_name(statePath.substr(statePath.find_last_of(L"\\/") + 1)) {}

bool OsResumeRecordStore::load(std::string& text) { return m_os.readDownloadRecord(m_name, text); }

bool OsResumeRecordStore::store(const std::string& text) { return m_os.writeDownloadRecord(m_name, text); }

bool OsResumeRecordStore::erase() { return m_os.eraseDownloadRecord(m_name); }
