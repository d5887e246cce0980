// The downloaded installer's command line, built from the stamped settings and
// the payload keys left over, and the call that starts the installer (tried
// again for a while when a scanner holds the fresh file).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/payload.h"
#include "platform/file.h"
#include "app/os_services.h"

// The settings the dialog took out of the payload block, already decoded.
struct InstallerSettings {
    std::wstring partnerId;
    std::wstring vid;
    std::wstring contentType;
    std::wstring contentAddress;
    std::wstring offerUrl;
    bool silentMode = false;
};

// One value as the installer's command line carries it. Quoted values are put
// in double quotes; a value that is not quoted gets them only when it holds a
// blank, a tab or a double quote, since it would otherwise split or swallow
// switches. Inside quotes a double quote is written \" and the backslashes
// before it (or before the closing quote) are doubled, so that the Windows
// command-line rules (CommandLineToArgvW, the C runtime) give back the value
// exactly. Ordinary values come out unchanged. NUL units are dropped: the
// command line is a zero-terminated string, and one NUL would cut off every
// switch after it.
std::wstring commandLineValue(const std::wstring& value, bool quoted);

// " /partnerId=..", " /vid=..", " /contentType=..", " /contentAddress=\"..\"",
// " /offerUrl=\"..\"", " /S", then " /key=\"value\"" for each remaining payload
// key in the map's order (decodePayloadKey, decodePayloadValue; a key that
// decodes to nothing is left out). Empty when no piece applies.
std::wstring installerParameters(const InstallerSettings& settings, const PayloadMap& remaining);

// The longest command line Windows starts a program with, terminator included.
inline constexpr std::size_t kMaxCommandLine = 32767;

// Starts the installer file with the parameters: 0 when it was started,
// otherwise the system's error code. A command line the system could not
// take whole (the quoted path, a blank and the parameters) is not tried:
// kErrorFilenameExcedRange.
std::int32_t launchInstaller(platform::OsServices& os, const std::wstring& installerFile,
                             const std::wstring& parameters);

// How long a start that a scanner refused is tried again, and the wait
// between two tries.
struct LaunchRetry {
    std::chrono::milliseconds bound{15000};
    std::chrono::milliseconds pause{250};
};

// An antivirus reads a freshly written program before it lets anybody run
// it, and meanwhile the start fails with a sharing violation, access denied
// or a lock violation: those may succeed moments later. A found threat
// (ERROR_VIRUS_INFECTED, ERROR_VIRUS_DELETED) never does.
bool launchMayBeRetried(std::int32_t code);

// ERROR_CANCELLED: the tries were given up at the caller's request.
inline constexpr std::int32_t kLaunchCancelled = 1223;

// launchInstaller, tried again after `retry.pause` while it fails with a code
// launchMayBeRetried accepts and `retry.bound` has not passed since the first
// try: the last try's code. kLaunchCancelled as soon as `cancel` is seen set
// (before a try or during a pause).
std::int32_t launchInstallerRetrying(platform::OsServices& os, const std::wstring& installerFile,
                                     const std::wstring& parameters, const LaunchRetry& retry,
                                     const std::atomic<bool>& cancel);

// The notice for an installer that could not be started: the antivirus's
// own sentence for a found threat, otherwise the interface's "Internal
// Error" text with the system code, in the style of the worker's notices
// ("... (system code: 2). ").
std::wstring launchErrorMessage(std::int32_t code);

// CERT_E_CN_NO_MATCH: a valid signature, but not by the publisher.
inline constexpr std::int32_t kTrustWrongPublisher = static_cast<std::int32_t>(0x800B010F);
// TRUST_E_BAD_DIGEST: the held file no longer hashes to what was recorded
// when its download was finished.
inline constexpr std::int32_t kFileDigestMismatch = static_cast<std::int32_t>(0x80096010);

// The publisher whose signature the downloaded installer must carry (the
// build's PRODUCT_PUBLISHER); empty when the build checks none.
std::wstring productPublisher();

// Whether the held installer may be started: 0 when `publisher` is empty (no
// check), or when the system accepts the file's signature, read through the
// held handle, and the signer's common name equals `publisher` exactly;
// otherwise the verification's result, or kTrustWrongPublisher.
std::int32_t verifyInstallerPublisher(platform::OsServices& os, const platform::File& held,
                                      const std::wstring& installerFile, const std::wstring& publisher);

// The notice for an installer that was not started because of its signature:
// the launch failure's text with the verification's code in hexadecimal
// ("... (system code: 0x800B0100). ").
std::wstring untrustedInstallerMessage(std::int32_t code);
