// The progress dialog and the application object over the in-process seam:
// start-up, the three worker messages, the close confirmation (also while a
// completion arrives), Enter and Esc, error notices from the worker thread,
// the installer start (tried again while a scanner holds it, given up on a
// close request) and the texts in both languages. The worker is replaced
// by a script so that every state is reached on purpose, without a network.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwctype>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/ui_text.h"
#include "app/update_progress_app.h"
#include "app/update_progress_dlg.h"
#include "app/worker_steps.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "tests/support/fake_windows.h"
#include "tests/unit/scratch_dir.h"
#include "tests/unit/transfer_test_access.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::DialogRecord;
using platform::FakeWindows;
using platform::kIdCancel;
using platform::kIdOk;
using platform::kMessageBoxTemplate;
using platform::kProgressDialogTemplate;
using platform::UserInput;

constexpr std::uint16_t kEnglish = 0x0409;
constexpr std::uint16_t kRussian = 0x0419;

// Polls until `condition` holds; false after five seconds.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A program file with a payload block at its end, removed afterwards.
class PayloadFile {
public:
    explicit PayloadFile(const std::string& items) {
        static std::atomic<int> counter{0};
        m_path = fs::temp_directory_path() /
                 ("vorlane_dialog_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                  "_" + std::to_string(counter++) + ".exe");
        std::ofstream out(m_path, std::ios::binary);
        const std::string block = "MZ program bytes PayloadInfo:" + items;
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        out.put('\0');
    }
    ~PayloadFile() {
        std::error_code ignored;
        fs::remove(m_path, ignored);
    }
    std::wstring path() const { return m_path.wstring(); }

private:
    fs::path m_path;
};

// A start a scanner refuses is tried once unless a test asks for more.
constexpr LaunchRetry kSingleTry{0ms, 1ms};
constexpr LaunchRetry kPatientTries{60s, 1ms};

ProgressDialogSettings settingsFor(std::string productId, LaunchRetry retry) {
    ProgressDialogSettings settings;
    settings.productId = std::move(productId);
    settings.launchRetry = retry;
    return settings;
}

// The dialog with its worker replaced by a script that runs on the worker thread.
class ScriptedDialog : public CUpdateProgressDlg {
public:
    using Script = std::function<void(ScriptedDialog&)>;

    ScriptedDialog(FakeWindows& os, Script script, std::string productId = "pelmora", LaunchRetry retry = kSingleTry)
        : CUpdateProgressDlg(os, settingsFor(std::move(productId), retry)), m_windows(os), m_script(std::move(script)) {}
    ~ScriptedDialog() override {
        m_stopRequested = true;
        joinWorker();
    }

    // --- for scripts, on the worker thread ---
    using CUpdateProgressDlg::postFinish;
    using CUpdateProgressDlg::postProgress;
    using CUpdateProgressDlg::postStatusText;
    bool notify(const std::wstring& message) { return reportFailure(message); }
    bool waitForStop() {
        return eventually([this] { return m_stopRequested.load(); });
    }
    // Gives the dialog a running download of one part: not complete yet.
    void startDownload(const std::wstring& filePath) {
        DownloadInfo info;
        info.setFileSize(1000);
        info.setPartSize(DownloadInfo::kPartSize);
        info.setMaxWorkers(DownloadInfo::kMaxWorkers);
        transfertest::handOutOnePartEach(info);
        info.setUrls({"http://127.0.0.1/installer.exe"});
        info.setFilePath(filePath);
        m_downloader.setDownloadInfo(info);
    }
    // Makes it complete: the one part is in, and the engine holds the file
    // read-only unless `held` is false (the hold could not be taken).
    // `recorded`: the record of the finished download names the held bytes
    // (false: the file was swapped since).
    void completeDownload(const std::wstring& filePath, bool held = true, bool recorded = true) {
        startDownload(filePath);
        if (held) {
            const std::string bytes = "MZ installer";
            transfertest::writeAll(m_scratch / "held.exe", bytes);
            platform::File file;
            EXPECT_TRUE(file.openForWriting(m_scratch.file("held.exe")) && file.holdReadOnly());
            DownloaderTestAccess::holdCompletedFile(m_downloader, std::move(file));
            const std::string finished = recorded ? bytes : "MZ installeR";
            m_records->record = ResumeRecord{"\"v1\"", platform::sha256Hex("state"), platform::sha256Hex(finished)}.text();
            m_downloader.setRecordStore(m_records);
        }
        m_downloader.downloadInfo().takeNextPart(0);
    }
    bool recordKept() const { return m_records->record.has_value(); }
    void undoCompletion() { m_downloader.downloadInfo().resetWorkers(); }
    // Waits until a message box is open (and not yet answered).
    bool waitForOpenBox() {
        return eventually([this] {
            for (const DialogRecord& box : m_windows.dialogsWithTemplate(kMessageBoxTemplate)) {
                if (!box.ended) return true;
            }
            return false;
        });
    }
    // Waits until the first message box has been answered and is gone.
    bool waitForBoxAnswered() {
        return eventually([this] {
            const auto boxes = m_windows.dialogsWithTemplate(kMessageBoxTemplate);
            return !boxes.empty() && boxes[0].destroyed;
        });
    }
    void mark(const std::string& event) { m_windows.addEvent(event); }

protected:
    void workerThread() override {
        m_script(*this);
        mark("worker ended");
    }

private:
    FakeWindows& m_windows;
    Script m_script;
    std::string m_id;
    unittest::ScratchDir m_scratch;
    std::shared_ptr<transfertest::MemoryRecordStore> m_records = std::make_shared<transfertest::MemoryRecordStore>();
};

std::size_t indexOf(const std::vector<std::string>& events, const std::string& event) {
    const auto found = std::find(events.begin(), events.end(), event);
    EXPECT_NE(found, events.end()) << "no event " << event;
    return static_cast<std::size_t>(found - events.begin());
}

DialogRecord mainRecord(const FakeWindows& os) { return os.dialogsWithTemplate(kProgressDialogTemplate).at(0); }

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { useLanguage(kEnglish); }
    void TearDown() override { releaseLanguageRecord(); }

    static void useLanguage(std::uint16_t languageId) { languageRecord().languageId = languageId; }

    int run(ScriptedDialog::Script script, const std::string& productId = "pelmora") {
        ScriptedDialog dialog(os, std::move(script), productId);
        return dialog.DoModal();
    }

    PayloadFile payload{"vid=15;partnerId=7;offerUrl=http%3A%2F%2Foffer.example%2Fo%3Fa%3D1;ap=13;"};
    // The temporary folder the application's lock is taken in.
    unittest::ScratchDir temp;
    FakeWindows os;

public:
    DialogTest() {
        os.setOwnExecutablePath(payload.path());
        os.setDownloadFolder(temp.path().wstring());
        os.setModalTimeout(20s);
    }
};

// --- start-up ---

TEST_F(DialogTest, OpensWithCaptionFirstTextsAndAnEmptyBar) {
    const int result = run([](ScriptedDialog& d) { d.postFinish(); });
    const DialogRecord main = mainRecord(os);
    EXPECT_EQ(main.caption, L"PelMora installation");
    EXPECT_EQ(main.texts.at(platform::kProgressLineId), L"Preparing to Install...");
    EXPECT_EQ(main.progressLow, 0);
    EXPECT_EQ(main.progressHigh, 100);
    EXPECT_EQ(main.progressStep, 1);
    EXPECT_EQ(main.progressPositions, std::vector<int>{0});
    EXPECT_EQ(main.iconId, platform::kMainIconId);
    EXPECT_TRUE(main.centredAndShown);
    EXPECT_TRUE(main.closeMenuEnabled);
    EXPECT_EQ(main.texts.count(platform::kStatusLineId), 0u);
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(hasLanguageRecord());  // released with the window
}

struct LanguageCase {
    std::uint16_t languageId;
    const wchar_t* caption;
    const wchar_t* progressLine;
};

const LanguageCase kLanguageCases[] = {
    {0x0419, L"Установка PelMora", L"Подготовка к установке..."},
    {0x0409, L"PelMora installation", L"Preparing to Install..."},
    {0x0422, L"PelMora installation", L"Preparing to Install..."},  // Ukrainian
    {0x0819, L"PelMora installation", L"Preparing to Install..."},  // Russian as used in Moldova
};

TEST_F(DialogTest, CaptionAndFirstLineFollowTheInterfaceLanguage) {
    for (const LanguageCase& c : kLanguageCases) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        useLanguage(c.languageId);
        ScriptedDialog dialog(local, [](ScriptedDialog& d) { d.postFinish(); });
        dialog.DoModal();
        const DialogRecord main = mainRecord(local);
        EXPECT_EQ(main.caption, c.caption) << std::hex << c.languageId;
        EXPECT_EQ(main.texts.at(platform::kProgressLineId), c.progressLine) << std::hex << c.languageId;
    }
}

TEST_F(DialogTest, ProductIdIsLowerCasedBeforeTheCatalogLookup) {
    run([](ScriptedDialog& d) { d.postFinish(); }, "PELMORA");
    EXPECT_EQ(mainRecord(os).caption, L"PelMora installation");
}

TEST_F(DialogTest, UnknownProductEndsTheStartWithInvalidInstaller) {
    bool workerRan = false;
    try {
        run([&workerRan](ScriptedDialog&) { workerRan = true; }, "pel_mora");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Invalid installer!");
    }
    EXPECT_FALSE(workerRan);
    EXPECT_TRUE(mainRecord(os).destroyed);
}

TEST_F(DialogTest, ABuildWithASealingKeyRefusesBlocksItsKeyDoesNotVouchFor) {
    // Any key will do: none of these blocks carries a seal made with it.
    ProgressDialogSettings settings;
    settings.productId = "pelmora";
    settings.payloadKey = platform::P256PublicKey{};
    settings.payloadKey->fill(0x11);
    const std::pair<const char*, std::string> cases[] = {
        {"an unsealed block", "vid=15;partnerId=7;"},
        {"no block", ""},
        {"a seal that does not hold", "vid=15;seal=" + std::string(128, '0') + ";"},
    };
    for (const auto& [name, items] : cases) {
        SCOPED_TRACE(name);
        FakeWindows local;
        const PayloadFile program(items);
        local.setOwnExecutablePath(program.path());
        CUpdateProgressDlg dialog(local, settings);
        try {
            dialog.DoModal();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            // A system that cannot check at all (Wine without its ECDSA) says
            // so after the same words.
            EXPECT_EQ(std::string(error.what()).rfind("Invalid installer!", 0), 0u) << error.what();
        }
        EXPECT_TRUE(mainRecord(local).destroyed);
        EXPECT_TRUE(local.awakeRequests().empty());
    }
}

TEST_F(DialogTest, StatusTextSetsTheTopLine) {
    run([](ScriptedDialog& d) {
        d.postStatusText(L"Preparing to Install...");
        d.postFinish();
    });
    EXPECT_EQ(mainRecord(os).texts.at(platform::kStatusLineId), L"Preparing to Install...");
}

TEST_F(DialogTest, ProgressOfAnUnfinishedDownloadMovesBarAndSecondLineOnly) {
    const std::wstring longText(300, L'x');
    run([&longText](ScriptedDialog& d) {
        d.startDownload(L"installer.exe");
        d.postProgress(7, L"Progress: 7%");
        d.postProgress(100, longText);  // the percent alone does not mean complete
        d.postFinish();
    });
    const DialogRecord main = mainRecord(os);
    EXPECT_EQ(main.progressPositions, (std::vector<int>{0, 7, 100}));
    const std::vector<std::pair<int, std::wstring>> expectedLines{
        {platform::kProgressLineId, L"Preparing to Install..."},
        {platform::kProgressLineId, L"Progress: 7%"},
        {platform::kProgressLineId, std::wstring(254, L'x')},
    };
    EXPECT_EQ(main.textHistory, expectedLines);
    EXPECT_TRUE(os.launches().empty());
}

TEST_F(DialogTest, CompleteDownloadStartsTheInstallerAfterTheWorkerEnded) {
    const int result = run([](ScriptedDialog& d) {
        d.completeDownload(L"installer path.exe");
        d.postProgress(40, L"Progress: 40%");  // complete whatever the percent says
        if (d.waitForStop()) d.mark("stop seen");
    });
    ASSERT_EQ(os.launches().size(), 1u);
    EXPECT_EQ(os.launches()[0].file, L"installer path.exe");
    EXPECT_EQ(os.launches()[0].parameters,
              L" /partnerId=7 /vid=15 /offerUrl=\"http://offer.example/o?a=1\" /ap=\"13\"");
    const auto events = os.events();
    EXPECT_LT(indexOf(events, "stop seen"), indexOf(events, "worker ended"));
    EXPECT_LT(indexOf(events, "worker ended"), indexOf(events, "launch"));
    EXPECT_LT(indexOf(events, "launch"), indexOf(events, "end 102 1"));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(mainRecord(os).progressPositions, (std::vector<int>{0, 40}));
}

struct LaunchFailureCase {
    const char* name;
    bool held;
    bool recorded;
    std::int32_t launchResult;
    std::size_t launches;
    const wchar_t* message;
};

const LaunchFailureCase kLaunchFailures[] = {
    {"file missing", true, true, 2, 1, L"Internal Error (system code: 2). The program will be automatically closed!"},
    {"access denied", true, true, 5, 1, L"Internal Error (system code: 5). The program will be automatically closed!"},
    {"threat found", true, true, 225, 1,
     L"Your antivirus program reported a threat in the downloaded installer and blocked it. "
     L"The program will be automatically closed!"},
    {"deleted for a threat", true, true, 226, 1,
     L"Your antivirus program deleted the downloaded installer because it reported a threat. "
     L"The program will be automatically closed!"},
    {"file not held", false, true, 0, 0,
     L"Internal Error (system code: 32). The program will be automatically closed!"},
    {"file swapped", true, false, 0, 0,
     L"Internal Error (system code: 0x80096010). The program will be automatically closed!"},
};

TEST_F(DialogTest, AnInstallerThatCannotBeStartedIsReported) {
    for (const LaunchFailureCase& c : kLaunchFailures) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.setLaunchResult(c.launchResult);
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
        ScriptedDialog dialog(local, [&c](ScriptedDialog& d) {
            d.completeDownload(L"installer.exe", c.held, c.recorded);
            d.postProgress(100, L"");
            d.waitForStop();
        });
        EXPECT_EQ(dialog.DoModal(), 1) << c.name;
        EXPECT_EQ(local.launches().size(), c.launches) << c.name;
        // A swapped file's record goes, so that the next start fetches afresh.
        EXPECT_EQ(dialog.recordKept(), c.held && c.recorded) << c.name;
        const auto boxes = local.dialogsWithTemplate(kMessageBoxTemplate);
        ASSERT_EQ(boxes.size(), 1u) << c.name;
        EXPECT_EQ(boxes[0].caption, L"Error!") << c.name;
        EXPECT_EQ(boxes[0].texts.at(platform::kMessageTextId), c.message) << c.name;
    }
}

// The completed download, and a scanner that holds the installer for a while.
ScriptedDialog::Script completion() {
    return [](ScriptedDialog& d) {
        d.completeDownload(L"installer.exe");
        d.postProgress(100, L"");
        d.waitForStop();
    };
}

TEST_F(DialogTest, AScannerHoldingTheInstallerOnlyDelaysItsStart) {
    os.setLaunchResults({32, 5, 33, 0});
    ScriptedDialog dialog(os, completion(), "pelmora", kPatientTries);
    EXPECT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(os.launches().size(), 4u);
    EXPECT_TRUE(os.dialogsWithTemplate(kMessageBoxTemplate).empty());
}

TEST_F(DialogTest, ACloseRequestDuringTheTriesEndsThemWithoutAStart) {
    const struct {
        const char* name;
        UserInput input;
        std::optional<UserInput> answer;  // to the close confirmation
        int result;
    } cases[] = {
        {"Esc", UserInput::Esc, std::nullopt, kIdCancel},
        {"Enter", UserInput::Enter, std::nullopt, kIdOk},
        {"confirmed close", UserInput::Close, UserInput::ClickOk, kIdCancel},
    };
    for (const auto& c : cases) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.setLaunchResult(platform::kErrorSharingViolation);
        // The window takes input while the tries go on.
        local.scriptInput(kProgressDialogTemplate, c.input, [&local] { return local.launches().size() >= 2; });
        if (c.answer) local.scriptInput(kMessageBoxTemplate, *c.answer);
        ScriptedDialog dialog(local, completion(), "pelmora", kPatientTries);
        EXPECT_EQ(dialog.DoModal(), c.result) << c.name;
        const auto events = local.events();
        const auto lastTry = std::find(events.rbegin(), events.rend(), "launch");
        ASSERT_NE(lastTry, events.rend()) << c.name;
        // The tries were over before the dialog ended, and no notice followed.
        EXPECT_LT(static_cast<std::size_t>(events.rend() - lastTry) - 1,
                  indexOf(events, "end 102 " + std::to_string(c.result)))
            << c.name;
        EXPECT_EQ(local.dialogsWithTemplate(kMessageBoxTemplate).size(), c.answer ? 1u : 0u) << c.name;
    }
}

TEST_F(DialogTest, AnUnconfirmedCloseDuringTheTriesLetsTheStartGoOn) {
    std::vector<std::int32_t> results(100, platform::kErrorSharingViolation);
    results.push_back(0);
    os.setLaunchResults(results);
    os.scriptInput(kProgressDialogTemplate, UserInput::Close, [this] { return !os.launches().empty(); });
    os.scriptInput(kMessageBoxTemplate, UserInput::ClickCancel);
    ScriptedDialog dialog(os, completion(), "pelmora", kPatientTries);
    EXPECT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(os.launches().size(), 101u);
    EXPECT_EQ(os.dialogsWithTemplate(kMessageBoxTemplate).size(), 1u);  // the confirmation only
}

TEST_F(DialogTest, CompletionLostByTheTimeTheWorkerEndedStartsNothing) {
    os.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
    run([](ScriptedDialog& d) {
        d.completeDownload(L"installer.exe");
        d.postProgress(100, L"");
        d.waitForStop();
        d.undoCompletion();  // as after a part that never reached the disk
    });
    EXPECT_TRUE(os.launches().empty());
    const auto boxes = os.dialogsWithTemplate(kMessageBoxTemplate);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].texts.at(platform::kMessageTextId), L"Internal Error. The program will be automatically closed!");
}

TEST_F(DialogTest, FinishEndsTheDialogAfterJoiningTheWorker) {
    const int result = run([](ScriptedDialog& d) {
        d.postFinish();
        std::this_thread::sleep_for(50ms);  // still running when the message is handled
    });
    const auto events = os.events();
    EXPECT_LT(indexOf(events, "worker ended"), indexOf(events, "end 102 1"));
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(os.launches().empty());
}

TEST_F(DialogTest, MessagesLeftInTheQueueAreFreedWhenTheWindowGoes) {
    run([](ScriptedDialog& d) {
        d.postFinish();
        d.postProgress(5, L"late");
        d.postStatusText(L"late");
    });
    // Posts that race the finish's stop are dropped by the worker; whatever
    // was queued is freed by the dialog (the sanitizer build's leak checker
    // watches this).
    EXPECT_LE(mainRecord(os).undeliveredMessages, 2);
}

// --- closing ---

struct BoxTexts {
    std::uint16_t languageId;
    const wchar_t* caption;
    const wchar_t* ok;
    const wchar_t* cancel;
    const wchar_t* message;
};

void expectBox(const DialogRecord& box, const BoxTexts& texts) {
    EXPECT_EQ(box.caption, texts.caption);
    EXPECT_EQ(box.texts.at(kIdOk), texts.ok);
    EXPECT_EQ(box.texts.at(kIdCancel), texts.cancel);
    EXPECT_EQ(box.texts.at(platform::kMessageTextId), texts.message);
    EXPECT_TRUE(box.shown.at(kIdOk));
    EXPECT_TRUE(box.shown.at(kIdCancel));
}

const BoxTexts kConfirmations[] = {
    {kEnglish, L"Closing of downloader", L"Yes", L"No, continue", L"Do you want to stop download process?"},
    {kRussian, L"Закрытие программы", L"Да", L"Нет, продолжить", L"Хотите ли вы завершить процесс загрузки?"},
};

TEST_F(DialogTest, CloseAsksForConfirmationWithItsTexts) {
    for (const BoxTexts& texts : kConfirmations) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        useLanguage(texts.languageId);
        local.scriptInput(kProgressDialogTemplate, UserInput::Close);
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickCancel);
        ScriptedDialog dialog(local, [](ScriptedDialog& d) {
            d.waitForBoxAnswered();
            d.postFinish();
        });
        dialog.DoModal();
        const auto boxes = local.dialogsWithTemplate(kMessageBoxTemplate);
        ASSERT_EQ(boxes.size(), 1u);
        expectBox(boxes[0], texts);
        EXPECT_EQ(boxes[0].ownerId, mainRecord(local).id);
    }
}

struct ConfirmationCase {
    const char* name;
    UserInput answer;
    bool stops;
};

const ConfirmationCase kConfirmationCases[] = {
    {"Yes", UserInput::ClickOk, true},
    {"Enter on the confirmation", UserInput::Enter, true},
    {"No, continue", UserInput::ClickCancel, false},
    {"Esc on the confirmation", UserInput::Esc, false},
    {"closing the confirmation itself", UserInput::Close, false},
};

TEST_F(DialogTest, OnlyAConfirmedCloseStopsTheDownload) {
    for (const ConfirmationCase& c : kConfirmationCases) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.scriptInput(kProgressDialogTemplate, UserInput::Close);
        local.scriptInput(kMessageBoxTemplate, c.answer);
        std::atomic<bool> stopped{false};
        ScriptedDialog dialog(local, [&](ScriptedDialog& d) {
            // Keeps "downloading" until stopped or until the box was answered.
            const bool answered = eventually([&] {
                const auto boxes = local.dialogsWithTemplate(kMessageBoxTemplate);
                return !boxes.empty() && boxes[0].destroyed;
            });
            std::this_thread::sleep_for(30ms);
            if (d.waitForStop() && answered) {
                stopped = true;
                d.mark("stop seen");
            }
        });
        // A running download only ends by the worker's own finish.
        if (!c.stops) local.scriptInput(kProgressDialogTemplate, UserInput::Esc, [&local] {
            const auto boxes = local.dialogsWithTemplate(kMessageBoxTemplate);
            return !boxes.empty() && boxes[0].destroyed;
        });
        const int result = dialog.DoModal();
        const auto events = local.events();
        if (c.stops) {
            EXPECT_TRUE(stopped) << c.name;
            EXPECT_EQ(result, kIdCancel) << c.name;
            EXPECT_LT(indexOf(events, "destroy 131"), indexOf(events, "stop seen")) << c.name;
        } else {
            // The stop came from the later Esc, not from the answer.
            EXPECT_EQ(result, kIdCancel) << c.name;
            EXPECT_EQ(mainRecord(local).inputsHandled,
                      (std::vector<UserInput>{UserInput::Close, UserInput::Esc}))
                << c.name;
        }
        EXPECT_LT(indexOf(events, "worker ended"), indexOf(events, "end 102 2")) << c.name;
    }
}

TEST_F(DialogTest, CompletionWhileTheConfirmationIsOpenWaitsForTheAnswer) {
    const struct {
        UserInput answer;
        int result;
        std::size_t launches;
    } cases[] = {{UserInput::ClickOk, kIdCancel, 0}, {UserInput::ClickCancel, 1, 1}};
    for (const auto& c : cases) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.scriptInput(kProgressDialogTemplate, UserInput::Close);
        // The user answers only after the completion has been handled.
        local.scriptInput(kMessageBoxTemplate, c.answer, [&local] {
            const auto positions = mainRecord(local).progressPositions;
            return !positions.empty() && positions.back() == 100;
        });
        ScriptedDialog dialog(local, [](ScriptedDialog& d) {
            d.waitForOpenBox();
            d.completeDownload(L"installer.exe");
            d.postProgress(99, L"");
            d.postProgress(100, L"");
        });
        EXPECT_EQ(dialog.DoModal(), c.result);
        EXPECT_EQ(local.launches().size(), c.launches);
        if (c.launches != 0) {
            EXPECT_LT(indexOf(local.events(), "destroy 131"), indexOf(local.events(), "launch"));
        }
        EXPECT_TRUE(mainRecord(local).destroyed);
    }
}

struct KeyCase {
    const char* name;
    UserInput key;
    int result;
};

const KeyCase kKeyCases[] = {
    {"Enter", UserInput::Enter, kIdOk},
    {"Esc", UserInput::Esc, kIdCancel},
};

TEST_F(DialogTest, EnterAndEscEndTheDialogOnlyAfterTheWorkerStopped) {
    for (const KeyCase& c : kKeyCases) {
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.scriptInput(kProgressDialogTemplate, c.key);
        ScriptedDialog dialog(local, [](ScriptedDialog& d) {
            if (d.waitForStop()) {
                std::this_thread::sleep_for(30ms);  // the download's own stop takes a while
                d.mark("stop seen");
            }
        });
        const int result = dialog.DoModal();
        const auto events = local.events();
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_LT(indexOf(events, "stop seen"), indexOf(events, "end 102 " + std::to_string(c.result))) << c.name;
        EXPECT_TRUE(local.dialogsWithTemplate(kMessageBoxTemplate).empty()) << c.name;
    }
}

// --- error notices ---

const BoxTexts kNotices[] = {
    {kEnglish, L"Error!", L"Yes", L"No", L"Server Error (system code: 2001). The program will be automatically closed!"},
    {kRussian, L"Ошибка!", L"Да", L"Нет", L"Server Error (system code: 2001). Программа будет автоматически закрыта!"},
};

TEST_F(DialogTest, ErrorNoticeFromTheWorkerShowsBothButtonsThenTheDialogEnds) {
    for (const BoxTexts& texts : kNotices) {
        for (const UserInput answer : {UserInput::ClickOk, UserInput::ClickCancel}) {
            FakeWindows local;
            local.setOwnExecutablePath(payload.path());
            useLanguage(texts.languageId);
            local.scriptInput(kMessageBoxTemplate, answer);
            ScriptedDialog dialog(local, [](ScriptedDialog& d) { d.notify(L"Server Error (system code: 2001). "); });
            EXPECT_EQ(dialog.DoModal(), 1);
            const auto boxes = local.dialogsWithTemplate(kMessageBoxTemplate);
            ASSERT_EQ(boxes.size(), 1u);
            expectBox(boxes[0], texts);
            EXPECT_EQ(boxes[0].ownerId, mainRecord(local).id);
            EXPECT_FALSE(boxes[0].onOwnerThread);  // shown by the worker thread
            const auto events = local.events();
            EXPECT_LT(indexOf(events, "destroy 131"), indexOf(events, "end 102 1"));
        }
    }
}

TEST_F(DialogTest, NothingReachesTheDialogOnceAStopWasRequested) {
    os.scriptInput(kProgressDialogTemplate, UserInput::Esc);
    std::atomic<bool> shown{true};
    const int result = run([&shown](ScriptedDialog& d) {
        d.waitForStop();
        d.completeDownload(L"installer.exe");
        d.postProgress(100, L"late");
        shown = d.notify(L"Download Error (system code: 28). ");
    });
    EXPECT_FALSE(shown);
    EXPECT_TRUE(os.dialogsWithTemplate(kMessageBoxTemplate).empty());
    EXPECT_EQ(result, kIdCancel);
    EXPECT_EQ(mainRecord(os).undeliveredMessages, 0);  // not even queued
    EXPECT_TRUE(os.launches().empty());
}

TEST_F(DialogTest, TheDialogTakesNoInputWhileTheErrorNoticeIsOpen) {
    os.scriptInput(kProgressDialogTemplate, UserInput::Close, [this] {
        const auto boxes = os.dialogsWithTemplate(kMessageBoxTemplate);
        return !boxes.empty() && !boxes[0].ended;
    });
    os.scriptInput(kMessageBoxTemplate, UserInput::ClickOk, [this] { return !mainRecord(os).inputsDropped.empty(); });
    const int result = run([](ScriptedDialog& d) { d.notify(L"Internal Error."); });
    EXPECT_EQ(mainRecord(os).inputsDropped, std::vector<UserInput>{UserInput::Close});
    EXPECT_EQ(os.dialogsWithTemplate(kMessageBoxTemplate).size(), 1u);  // no confirmation on top
    EXPECT_EQ(result, 1);
}

TEST_F(DialogTest, TheTaskbarButtonShowsAnErrorWhileANoticeIsUpWhicheverThreadRaisesIt) {
    // From the worker, and from the window's own thread (a start that failed).
    for (const bool fromWorker : {true, false}) {
        SCOPED_TRACE(fromWorker);
        FakeWindows local;
        local.setOwnExecutablePath(payload.path());
        local.setDownloadFolder(temp.path().wstring());
        if (!fromWorker) local.setLaunchResult(platform::kErrorFileNotFound);
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickOk, [&local] {
            const auto states = local.taskbarStates();
            return !states.empty() && states.back() == TaskbarState::error;
        });
        ScriptedDialog dialog(local, [fromWorker](ScriptedDialog& d) {
            if (fromWorker) {
                d.notify(L"Internal Error.");
                return;
            }
            d.completeDownload(L"installer path.exe");
            d.postProgress(100, L"");
        });
        EXPECT_EQ(dialog.DoModal(), 1);
        EXPECT_EQ(local.dialogsWithTemplate(kMessageBoxTemplate).size(), 1u);
        EXPECT_FALSE(local.dialogsWithTemplate(kMessageBoxTemplate)[0].abandoned);
        const auto events = local.events();
        EXPECT_EQ(std::find(events.begin(), events.end(), "taskbar call from another thread"), events.end());
    }
}

// --- the application object ---

class ScriptedApp : public CUpdateProgressApp {
public:
    ScriptedApp(FakeWindows& os, std::string productId) : CUpdateProgressApp(os), m_windows(os), m_id(productId) {}

protected:
    int runMainDialog() override {
        ScriptedDialog dialog(m_windows, [](ScriptedDialog& d) { d.postFinish(); }, m_id);
        return dialog.DoModal();
    }

private:
    FakeWindows& m_windows;
    std::string m_id;
};

TEST_F(DialogTest, AppRunsTheDialogAfterComAndCommonControls) {
    ScriptedApp app(os, "pelmora");
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(os.comInitialisations(), 1);
    EXPECT_EQ(os.commonControlsInitialisations(), 1);
    EXPECT_EQ(os.dialogsWithTemplate(kProgressDialogTemplate).size(), 1u);
    EXPECT_TRUE(os.messageBoxes().empty());
    EXPECT_EQ(app.exitCode(), 0);
}

TEST_F(DialogTest, OnlyTheLockEndsASecondCopyAndOnlyOurOwnWindowIsRaised) {
    const std::wstring state = resumeStatePath(temp.path().wstring(), L"");
    const std::wstring otherState = resumeStatePath(temp.path().wstring(), L"other");
    std::wstring sameFileOtherCase = payload.path();
    for (wchar_t& c : sameFileOtherCase) c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
    const std::wstring otherFile = payload.path() + L".copy.exe";
    const struct {
        const char* name;
        const std::wstring* lockedState;  // the state whose lock another copy holds (none: null)
        std::wstring nameHolderImage;     // the file run by the process that holds the name and published a window
        bool downloads;                   // the second copy runs its dialog
        bool raised;
    } cases[] = {
        {"a running copy", &state, payload.path(), false, true},
        {"a running copy, its path in another case", &state, sameFileOtherCase, false, true},
        {"a running copy of another file", &state, otherFile, false, false},
        {"a squatter beside a running copy", &state, L"C:\\Users\\u\\squatter.exe", false, false},
        {"a squatter alone", nullptr, L"C:\\Users\\u\\squatter.exe", true, false},
        {"a running copy for another state", &otherState, payload.path(), true, false},
        {"a running copy whose name was taken", &state, L"", false, false},
        {"nobody", nullptr, L"", true, false},
    };
    for (const auto& c : cases) {
        FakeWindows holder, second;
        platform::File lock;
        if (c.lockedState) {
            ASSERT_EQ(lock.openLocked(resumeStateLockPath(*c.lockedState)), platform::File::Lock::Taken) << c.name;
        }
        if (!c.nameHolderImage.empty()) {
            holder.setOwnExecutablePath(c.nameHolderImage);
            ASSERT_TRUE(holder.claimRunningCopy(runningCopyName(c.lockedState ? *c.lockedState : state)));
            holder.publishWindowOfItsOwn();
        }
        second.setOwnExecutablePath(payload.path());
        second.setDownloadFolder(temp.path().wstring());
        ScriptedApp app(second, "pelmora");
        EXPECT_FALSE(app.InitInstance()) << c.name;
        EXPECT_EQ(app.exitCode(), 0) << c.name;
        EXPECT_EQ(second.dialogs().size(), c.downloads ? 1u : 0u) << c.name;
        EXPECT_EQ(second.comInitialisations(), c.downloads ? 1 : 0) << c.name;
        EXPECT_EQ(holder.timesRaised(), c.raised ? 1 : 0) << c.name;
    }
}

TEST_F(DialogTest, AppEndsWithAFailureCodeWhenNoWindowCanBeCreated) {
    os.failWindowCreation();
    CUpdateProgressApp app(os);
    app.InitInstance();
    EXPECT_EQ(app.exitCode(), 1);
}

TEST_F(DialogTest, AppEndsSilentlyWhenComDoesNotStart) {
    os.setComResult(false);
    ScriptedApp app(os, "pelmora");
    EXPECT_TRUE(app.InitInstance());
    EXPECT_EQ(os.commonControlsInitialisations(), 0);
    EXPECT_TRUE(os.dialogs().empty());
    EXPECT_TRUE(os.messageBoxes().empty());
}

TEST_F(DialogTest, AppShowsInvalidInstallerInEnglishWhateverTheLanguage) {
    useLanguage(kRussian);
    ScriptedApp app(os, "nosuchproduct");
    EXPECT_FALSE(app.InitInstance());
    const auto boxes = os.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, L"Invalid installer!");
    EXPECT_EQ(boxes[0].second, L"Error!");
}

}  // namespace
