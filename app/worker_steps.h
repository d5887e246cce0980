// The download-and-install worker's small steps, kept apart from the thread
// body so that each can be checked on its own: the failure record and its
// notice texts, the size taken from the probe's headers, the progress report
// handed to the dialog, the names of the two temporary files and of the
// running copy's lock and claim.
#pragma once

#include <cstdint>
#include <string>

#include "app/taskbar_progress.h"
#include "downloader/header_record.h"

// What the worker throws to its own error handler while it prepares a download.
struct ErrorClass {
    std::int32_t kind;  // kErrorKindDownload or kErrorKindServer
    std::int32_t code;  // libcurl's result code, kMissingContentLengthCode, or the probe's HTTP status
};

inline constexpr std::int32_t kErrorKindDownload = 1;
inline constexpr std::int32_t kErrorKindServer = 2;
// The server answered the probe without a content length.
inline constexpr std::int32_t kMissingContentLengthCode = 2001;

// The notice for a failure while preparing: fixed English texts whatever the
// interface language.
std::wstring errorMessageFor(const ErrorClass& error);
inline constexpr wchar_t kInternalErrorMessage[] = L"Internal Error.";

// The first content-length record of the probe's answer (the final response
// of a redirect chain); throws ErrorClass {2, 2001} when there is none.
const std::string& firstContentLength(const HeaderList& headers);

// Only a successful answer describes the file: a final probe status outside
// 2xx throws ErrorClass {2, status}, so an error page's length never becomes
// the size (nor replaces an earlier run's state).
void requireSuccessfulProbe(const HeaderList& headers);

// The installer's size from a content-length value: plain decimal digits,
// 1 to 2147483647. Anything else is no usable size: ErrorClass {2, 2001}.
std::int32_t contentLengthToSize(const std::string& value);

// Whole percent of the file that has arrived, truncated toward zero.
std::int32_t progressPercent(std::int32_t progressLength, std::int32_t fileSize);

// The running progress text: the label, a colon, a blank, the number and "%".
std::wstring progressText(const std::wstring& label, std::int32_t percent);

// The record carried by WM_APP_PROGRESS; allocated by the worker, deleted by
// the dialog's handler.
struct ProgressReport {
    std::int32_t percent;
    wchar_t text[256];
};

// A new report holding at most 254 characters of `text` and its terminator.
ProgressReport* newProgressReport(std::int32_t percent, const std::wstring& text);

// The record carried by WM_APP_FIGURES: the figures line under the bar and
// what the taskbar button shows, `done` of `total` bytes.
struct FiguresReport {
    std::wstring line;
    TaskbarState taskbar = TaskbarState::normal;
    std::int64_t done = 0;
    std::int64_t total = 0;
};

// Resume-state file and installer file in the temporary directory T, named
// after the description's file tag G and the product's file stem S:
// T\_G.txt and T\S_G.exe (the platform's own separator in place of "\" where
// "\" is not one).
std::wstring resumeStatePath(const std::wstring& tempDir, const std::wstring& fileTag);
std::wstring installerPath(const std::wstring& tempDir, const std::wstring& fileStem, const std::wstring& fileTag);

// The lock beside a resume state, "<state path>.lock": the copy that holds it
// is the one that runs for that state.
std::wstring resumeStateLockPath(const std::wstring& statePath);

// The name of the one running copy per resume-state file: "Vorlane-" and the
// CRC-32 (8 hex digits) of the path's UTF-8 bytes, ASCII letters lower-cased
// (a path's case does not tell two Windows files apart). Object names may
// hold no backslash, so the path itself cannot be the name.
std::wstring runningCopyName(const std::wstring& statePath);
