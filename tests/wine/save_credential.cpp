// Saves a sign-in for a server in the Wine user's credential store, as
// Windows' Credential Manager keeps one (a domain password credential):
// save_credential TARGET USER PASSWORD. Wine's NTLM takes it for that server
// where Windows would take the logon session's own. Exit code 0 when saved.
#include <windows.h>
#include <wincred.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_DOMAIN_PASSWORD;
    credential.TargetName = argv[1];
    credential.UserName = argv[2];
    credential.CredentialBlob = reinterpret_cast<BYTE*>(argv[3]);
    credential.CredentialBlobSize = static_cast<DWORD>(std::wcslen(argv[3]) * sizeof(wchar_t));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    return CredWriteW(&credential, 0) ? 0 : 1;
}
