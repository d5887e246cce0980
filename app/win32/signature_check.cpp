// WinVerifyTrust on a held file and the signer's common name.
#include "app/win32/signature_check.h"

#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <vector>

namespace platform {

namespace {

// A revocation answer that says only that no server could be asked.
bool revocationUnknown(LONG result) {
    const auto code = static_cast<HRESULT>(result);
    return code == CERT_E_REVOCATION_FAILURE || code == CRYPT_E_REVOCATION_OFFLINE ||
           code == CRYPT_E_NO_REVOCATION_CHECK;
}

std::wstring signerCommonName(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    if (!provider) return {};
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert) return {};
    PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    void* oid = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
    if (length <= 1) return {};
    std::vector<wchar_t> name(length);
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), length);
    return std::wstring(name.data());
}

// One verification; the state is always closed again before this returns.
LONG verifyOnce(HANDLE file, const std::wstring& path, DWORD revocation, std::wstring& signer) {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    // The check reads through our handle, so it sees exactly the bytes the
    // held file keeps from writers until the start.
    fileInfo.hFile = file;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = revocation;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = revocation == WTD_REVOKE_WHOLECHAIN ? WTD_REVOCATION_CHECK_CHAIN : WTD_REVOCATION_CHECK_NONE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (result == ERROR_SUCCESS) signer = signerCommonName(data.hWVTStateData);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

std::int32_t verifyFileSignature(void* file, const std::wstring& path, std::wstring& signer) {
    signer.clear();
    LONG result = verifyOnce(static_cast<HANDLE>(file), path, WTD_REVOKE_WHOLECHAIN, signer);
    // The policy reports an unknown revocation status only when nothing else
    // is wrong; the second pass without revocation proves that once more.
    if (revocationUnknown(result)) result = verifyOnce(static_cast<HANDLE>(file), path, WTD_REVOKE_NONE, signer);
    return static_cast<std::int32_t>(result);
}

}  // namespace platform
