// The interface texts by number, in Russian or English by the user's
// interface language (read once per process, on the first lookup).
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint16_t kRussianLanguageId = 0x0419;

struct LanguageRecord {
    std::uint16_t languageId;
};

// The process's language record, created from the platform's user interface
// language on first use.
LanguageRecord& languageRecord();
// Frees the record; the next lookup reads the language again.
void releaseLanguageRecord();
bool hasLanguageRecord();

// The numbers of the interface texts.
inline constexpr unsigned kTextCloseCaption = 0;  // the close confirmation's caption
inline constexpr unsigned kTextCloseYes = 1;  // its OK button
inline constexpr unsigned kTextCloseNo = 2;  // its cancel button
inline constexpr unsigned kTextCloseQuestion = 3;  // its question
inline constexpr unsigned kTextErrorCaption = 4;  // the error notice's caption
inline constexpr unsigned kTextErrorOk = 5;  // its OK button
inline constexpr unsigned kTextErrorCancel = 6;  // its cancel button
inline constexpr unsigned kTextClosingNotice = 7;  // the line after the error message
inline constexpr unsigned kTextInstallationCaption = 8;  // the progress window's caption (a format taking the product name)
inline constexpr unsigned kTextPreparing = 9;  // the progress window's first line
inline constexpr unsigned kTextPreparingStatus = 10;  // the status line while the download starts
inline constexpr unsigned kTextProgress = 11;  // the progress line (followed by the percentage)
inline constexpr unsigned kTextInternalError = 12;  // a failure without a message of its own
inline constexpr unsigned kTextThreatBlocked = 13;  // the antivirus blocked the installer's start
inline constexpr unsigned kTextThreatDeleted = 14;  // the antivirus deleted the installer

// The drive cannot hold the download: a format taking the space to free and the drive.
inline constexpr unsigned kTextNotEnoughSpace = 15;

// The figures line under the progress bar: formats taking a size, a speed
// or a duration, and the units of a duration.
inline constexpr unsigned kTextSizeOfTotal = 16;  // the bytes so far and the total
inline constexpr unsigned kTextSpeed = 17;  // a size per second
inline constexpr unsigned kTextTimeLeft = 18;  // the time the download still needs
inline constexpr unsigned kTextConnectionLost = 19;  // the wait until the next try
inline constexpr unsigned kTextSeconds = 20;
inline constexpr unsigned kTextMinutes = 21;
inline constexpr unsigned kTextRetryingNow = 22;  // the pause is over, the next try is under way

// Whether the interface speaks Russian (else English).
bool russianInterface();

// Texts 0..22 in the interface language; any other number gives an empty string.
std::wstring uiText(unsigned number);
// The same in Russian or in English, whatever the interface language.
std::wstring uiText(unsigned number, bool russian);

// `first` and `second` as two sentences: a message that ends in a blank
// already ("... (system code: 7). ") is kept as it is, one that ends in a
// full stop, "!" or "?" gets a blank, any other ("Внутренняя ошибка") a full
// stop and a blank.
std::wstring joinSentences(const std::wstring& first, const std::wstring& second);
