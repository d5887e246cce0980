// The message box dialog: its button layout rule (one centred button when
// there is no cancel text), its texts, and the results of every way of
// answering it.
#include <gtest/gtest.h>

#include "app/message_box_dialog.h"
#include "tests/support/fake_windows.h"

namespace {

using platform::DialogRecord;
using platform::FakeWindows;
using platform::kIdCancel;
using platform::kIdOk;
using platform::kMessageBoxTemplate;
using platform::Rect;
using platform::UserInput;

struct CentringCase {
    const char* name;
    Rect dialog;
    Rect button;
    int expectedLeft;
};

// x = round(dialog width * 0.5 + dialog left - button width * 0.5), halves away from zero.
const CentringCase kCentringCases[] = {
    {"even widths", {0, 0, 300, 100}, {10, 70, 110, 90}, 100},
    {"frame left of the client area", {-3, -26, 297, 100}, {26, 71, 140, 92}, 90},
    {"half rounds up", {-3, -26, 296, 102}, {26, 71, 140, 92}, 90},  // 149.5 - 3 - 57 = 89.5
    {"half below zero rounds away from zero", {-4, 0, 1, 50}, {0, 0, 4, 10}, -4},  // 2.5 - 4 - 2 = -3.5
    {"odd button width", {0, 0, 200, 50}, {0, 0, 75, 20}, 63},  // 100 - 37.5 = 62.5
    {"button wider than the dialog", {0, 0, 100, 50}, {0, 0, 150, 20}, -25},
};

TEST(MessageBoxLayout, CentresTheSingleButton) {
    for (const CentringCase& c : kCentringCases) {
        EXPECT_EQ(centredButtonLeft(c.dialog, c.button), c.expectedLeft) << c.name;
    }
}

struct BoxRun {
    int result;
    DialogRecord record;
};

BoxRun runBox(const std::wstring& ok, const std::wstring& cancel, std::vector<UserInput> inputs) {
    FakeWindows os;
    for (const UserInput input : inputs) os.scriptInput(kMessageBoxTemplate, input);
    CMessageBoxDialog box;
    box.m_caption = L"Caption";
    box.m_message = L"Message text";
    box.m_okText = ok;
    box.m_cancelText = cancel;
    const int result = os.runModalDialog(kMessageBoxTemplate, box, nullptr);
    return BoxRun{result, os.dialogs().at(0)};
}

TEST(MessageBoxDialog, TwoButtonsKeepTheirPlacesAndTexts) {
    const BoxRun run = runBox(L"Yes", L"No, continue", {UserInput::ClickCancel});
    EXPECT_EQ(run.record.caption, L"Caption");
    EXPECT_EQ(run.record.texts.at(platform::kMessageTextId), L"Message text");
    EXPECT_EQ(run.record.texts.at(kIdOk), L"Yes");
    EXPECT_EQ(run.record.texts.at(kIdCancel), L"No, continue");
    EXPECT_TRUE(run.record.shown.at(kIdOk));
    EXPECT_TRUE(run.record.shown.at(kIdCancel));
    EXPECT_EQ(run.record.controlRects.at(kIdOk), (Rect{26, 71, 140, 92}));
}

TEST(MessageBoxDialog, WithoutCancelTextShowsOnlyTheOkButtonCentred) {
    const BoxRun run = runBox(L"OK", L"", {UserInput::ClickOk});
    EXPECT_TRUE(run.record.shown.at(kIdOk));
    EXPECT_FALSE(run.record.shown.at(kIdCancel));
    // Moved to the centre, top, width and height unchanged.
    EXPECT_EQ(run.record.controlRects.at(kIdOk), (Rect{90, 71, 204, 92}));
    EXPECT_EQ(run.result, kIdOk);
}

TEST(MessageBoxDialog, WithoutOkTextHidesTheOkButton) {
    const BoxRun run = runBox(L"", L"Cancel", {UserInput::ClickOk, UserInput::ClickCancel});
    EXPECT_FALSE(run.record.shown.at(kIdOk));
    // The hidden button cannot be clicked; the cancel button answers.
    EXPECT_EQ(run.record.inputsDropped, std::vector<UserInput>{UserInput::ClickOk});
    EXPECT_EQ(run.result, kIdCancel);
}

TEST(MessageBoxDialog, ConfirmingAgainKeepsTheLayout) {
    // The data exchange runs again on OK; the centred button must not drift.
    const BoxRun run = runBox(L"OK", L"", {UserInput::Enter});
    EXPECT_EQ(run.record.controlRects.at(kIdOk), (Rect{90, 71, 204, 92}));
}

struct AnswerCase {
    const char* name;
    UserInput input;
    int expectedResult;
};

const AnswerCase kAnswerCases[] = {
    {"OK button", UserInput::ClickOk, kIdOk},
    {"cancel button", UserInput::ClickCancel, kIdCancel},
    {"Enter", UserInput::Enter, kIdOk},
    {"Esc", UserInput::Esc, kIdCancel},
    {"close box", UserInput::Close, kIdCancel},
};

TEST(MessageBoxDialog, EveryAnswerGivesItsResult) {
    for (const AnswerCase& c : kAnswerCases) {
        const BoxRun run = runBox(L"Yes", L"No", {c.input});
        EXPECT_EQ(run.result, c.expectedResult) << c.name;
        EXPECT_TRUE(run.record.destroyed) << c.name;
    }
}

}  // namespace
