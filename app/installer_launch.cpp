// The installer's command line, its start with the tries a scanner needs,
// and the notices for a start that was refused.
#include "app/installer_launch.h"

#include <algorithm>
#include <thread>

#include <boost/format.hpp>

#include "app/ui_text.h"
#include "platform/text.h"

std::wstring commandLineValue(const std::wstring& rawValue, bool quoted) {
    std::wstring value = rawValue;
    std::erase(value, L'\0');
    const bool needsQuotes = quoted || value.find_first_of(L" \t\"") != std::wstring::npos;
    if (!needsQuotes) return value;

    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t unit : value) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (unit == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(unit);
    }
    // Backslashes right before the closing quote would escape it.
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring installerParameters(const InstallerSettings& settings, const PayloadMap& remaining) {
    std::wstring parameters;
    const auto piece = [&parameters](const wchar_t* format, const std::wstring& value, bool quoted) {
        parameters += (boost::wformat(format) % commandLineValue(value, quoted)).str();
    };
    if (!settings.partnerId.empty()) piece(L" /partnerId=%ls", settings.partnerId, false);
    if (!settings.vid.empty()) piece(L" /vid=%ls", settings.vid, false);
    if (!settings.contentType.empty()) piece(L" /contentType=%ls", settings.contentType, false);
    if (!settings.contentAddress.empty()) piece(L" /contentAddress=%ls", settings.contentAddress, true);
    if (!settings.offerUrl.empty()) piece(L" /offerUrl=%ls", settings.offerUrl, true);
    if (settings.silentMode) parameters += L" /S";
    for (const auto& [rawKey, rawValue] : remaining) {
        const std::wstring key = decodePayloadKey(rawKey);
        // A key of nothing but control characters is no key, as an empty one is not.
        if (key.empty()) continue;
        parameters += (boost::wformat(L" /%ls=%ls") % commandLineValue(key, false) %
                       commandLineValue(decodePayloadValue(rawValue), true))
                          .str();
    }
    return parameters;
}

std::int32_t launchInstaller(platform::OsServices& os, const std::wstring& installerFile,
                             const std::wstring& parameters) {
    // The shell hands CreateProcess the quoted path, a blank and the parameters.
    const std::size_t commandLine = installerFile.size() + 2 + 1 + parameters.size() + 1;
    if (commandLine > kMaxCommandLine) return platform::kErrorFilenameExcedRange;
    // The installer starts in the folder it was downloaded to, which nobody
    // but administrators can write: a DLL it loads by name from its current
    // directory can only be one of the system's.
    const std::size_t separator = installerFile.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? L"" : installerFile.substr(0, separator);
    return os.shellOpen(installerFile, parameters, folder);
}

bool launchMayBeRetried(std::int32_t code) {
    return code == platform::kErrorSharingViolation || code == platform::kErrorAccessDenied ||
           code == platform::kErrorLockViolation;
}

std::int32_t launchInstallerRetrying(platform::OsServices& os, const std::wstring& installerFile,
                                     const std::wstring& parameters, const LaunchRetry& retry,
                                     const std::atomic<bool>& cancel) {
    using Clock = std::chrono::steady_clock;
    // A close request is seen within this, whatever the pause.
    constexpr std::chrono::milliseconds kCancelCheck{20};
    const Clock::time_point deadline = Clock::now() + retry.bound;
    for (;;) {
        if (cancel) return kLaunchCancelled;
        const std::int32_t code = launchInstaller(os, installerFile, parameters);
        if (!launchMayBeRetried(code) || Clock::now() >= deadline) return code;
        const Clock::time_point resume = std::min(Clock::now() + retry.pause, deadline);
        while (Clock::now() < resume) {
            if (cancel) return kLaunchCancelled;
            std::this_thread::sleep_for(std::min<Clock::duration>(kCancelCheck, resume - Clock::now()));
        }
    }
}

namespace {

std::wstring internalErrorWithCode(const std::wstring& code) {
    std::wstring text = uiText(kTextInternalError);
    // The English text ends in a full stop, the Russian one does not.
    if (!text.empty() && text.back() == L'.') text.pop_back();
    return (boost::wformat(L"%ls (system code: %ls). ") % text % code).str();
}

}  // namespace

std::wstring launchErrorMessage(std::int32_t code) {
    if (code == platform::kErrorVirusInfected) return uiText(kTextThreatBlocked);
    if (code == platform::kErrorVirusDeleted) return uiText(kTextThreatDeleted);
    return internalErrorWithCode(std::to_wstring(code));
}

std::wstring productPublisher() { return platform::fromUtf8(VORLANE_PRODUCT_PUBLISHER); }

std::int32_t verifyInstallerPublisher(platform::OsServices& os, const platform::File& held,
                                      const std::wstring& installerFile, const std::wstring& publisher) {
    if (publisher.empty()) return platform::kErrorSuccess;
    std::wstring signer;
    const std::int32_t result = os.verifySignature(held.nativeHandle(), installerFile, signer);
    if (result != platform::kErrorSuccess) return result;
    return signer == publisher ? platform::kErrorSuccess : kTrustWrongPublisher;
}

std::wstring untrustedInstallerMessage(std::int32_t code) {
    return internalErrorWithCode((boost::wformat(L"0x%08X") % static_cast<std::uint32_t>(code)).str());
}
