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

// Texts 0..12; any other number gives an empty string.
std::wstring uiText(unsigned number);
