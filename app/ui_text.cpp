// The interface texts and the once-per-process choice of language.
#include "app/ui_text.h"

#include <iterator>
#include <memory>
#include <mutex>

#include "platform/system.h"

namespace {

struct Text {
    const wchar_t* russian;
    const wchar_t* english;
};

// Numbered as the dialog and the worker ask for them; the wording, including
// its slips, is what users of the shipped program have always seen (the
// caption of text 0 once read "Загрытие", a misspelling since corrected).
constexpr Text kTexts[] = {
    {L"Закрытие программы", L"Closing of downloader"},
    {L"Да", L"Yes"},
    {L"Нет, продолжить", L"No, continue"},
    {L"Хотите ли вы завершить процесс загрузки?", L"Do you want to stop download process?"},
    {L"Ошибка!", L"Error!"},
    {L"Да", L"Yes"},
    {L"Нет", L"No"},
    {L"Программа будет автоматически закрыта!", L"The program will be automatically closed!"},
    {L"Установка %ls", L"%ls installation"},
    {L"Подготовка к установке...", L"Preparing to Install..."},
    {L"Подготовка к установке...", L"Preparing to Install..."},
    {L"Прогресс", L"Progress"},
    {L"Внутренняя ошибка", L"Internal Error."},
    {L"Антивирусная программа обнаружила угрозу в загруженном установщике и заблокировала его.",
     L"Your antivirus program reported a threat in the downloaded installer and blocked it."},
    {L"Антивирусная программа удалила загруженный установщик, так как обнаружила в нём угрозу.",
     L"Your antivirus program deleted the downloaded installer because it reported a threat."},
    {L"Недостаточно места на диске. Освободите не менее %ls на диске %ls и запустите установку снова.",
     L"There is not enough space on the disk. Free at least %ls on drive %ls and start the installation again."},
    {L"%ls из %ls", L"%ls of %ls"},
    {L"%ls/с", L"%ls/s"},
    {L"осталось около %ls", L"about %ls left"},
    {L"Нет соединения, повтор через %ls", L"Connection lost, trying again in %ls"},
    {L"с", L"s"},
    {L"мин", L"min"},
    {L"Нет соединения, пробуем снова", L"Connection lost, trying again now"},
};

// The first lookup normally happens on the interface thread before the worker
// starts; the lock makes a first lookup from two threads harmless as well.
std::mutex g_recordMutex;
std::unique_ptr<LanguageRecord> g_record;

}  // namespace

LanguageRecord& languageRecord() {
    const std::lock_guard<std::mutex> lock(g_recordMutex);
    if (!g_record) g_record = std::make_unique<LanguageRecord>(LanguageRecord{platform::userInterfaceLanguage()});
    return *g_record;
}

void releaseLanguageRecord() {
    const std::lock_guard<std::mutex> lock(g_recordMutex);
    g_record.reset();
}

bool hasLanguageRecord() {
    const std::lock_guard<std::mutex> lock(g_recordMutex);
    return g_record != nullptr;
}

bool russianInterface() { return languageRecord().languageId == kRussianLanguageId; }

std::wstring uiText(unsigned number) {
    // Only Russian as used in Russia; every other language, other Russian
    // sublanguages included, gets English.
    return uiText(number, russianInterface());
}

std::wstring uiText(unsigned number, bool russian) {
    if (number >= std::size(kTexts)) return {};
    return russian ? kTexts[number].russian : kTexts[number].english;
}

std::wstring joinSentences(const std::wstring& first, const std::wstring& second) {
    if (first.empty()) return second;
    const wchar_t last = first.back();
    if (last == L' ') return first + second;
    if (last == L'.' || last == L'!' || last == L'?') return first + L" " + second;
    return first + L". " + second;
}
