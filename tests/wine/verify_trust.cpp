// Prints the product's Authenticode verdict on one file: the result code in
// hexadecimal and, when accepted, the signer's common name (UTF-8), e.g.
// "0x00000000 Vorlane Test Publisher". Exit code 0 only when accepted.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/win32/signature_check.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: verify_trust FILE\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file (error %lu)\n", GetLastError());
        return 2;
    }
    std::wstring signer;
    const std::int32_t result = platform::verifyFileSignature(file, argv[1], signer);
    CloseHandle(file);
    char name[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, signer.c_str(), -1, name, sizeof name - 1, nullptr, nullptr);
    std::printf("0x%08X %s\n", static_cast<unsigned>(result), name);
    return result == 0 ? 0 : 1;
}
