// The Authenticode check of a downloaded installer: WinVerifyTrust on an open
// file handle and the common name of the certificate that signed it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2, no UI, revocation checked
// for the whole chain) on the open file `file` (a HANDLE; `path` only names
// it). Returns 0 when the signature is accepted, otherwise the verification's
// result (an HRESULT such as TRUST_E_NOSIGNATURE). A revocation server that
// cannot be reached does not reject the file: such a result is checked again
// without revocation, and everything else must still hold. On success
// `signer` holds the common name of the signer's certificate.
std::int32_t verifyFileSignature(void* file, const std::wstring& path, std::wstring& signer);

}  // namespace platform
