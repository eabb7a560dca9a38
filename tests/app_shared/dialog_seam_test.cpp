// The DialogScript seam: answers are consumed in order, what was shown is recorded, the real
// forms' rules still apply to scripted input, and no modal loop ever runs.
#include <gtest/gtest.h>

#include <QLabel>

#include "dialog_seam.h"
#include "dialogs.h"
#include "input_form.h"
#include "line_edit.h"
#include "modal.h"
#include "yes_no_form.h"

namespace {

using Kind = kest::DialogScript::Kind;

// Any modal loop while a script is installed is a fault: this handler records it.
struct NoModalLoop {
    int calls = 0;
    kest::ModalHandlerScope scope{[this](QDialog&) {
        ++calls;
        return 0;
    }};
};

TEST(DialogScript, AnswersInOrderAndRecordsEverything) {
    NoModalLoop guard;
    kest::DialogScript script;
    script.answerYes();
    script.answerNo();
    script.answerInput(QStringLiteral(" 新類別 "));
    script.cancelInput();

    showWarning(QStringLiteral("無法連線"), nullptr);
    EXPECT_TRUE(confirmYesNo(QStringLiteral("刪除 2 個客戶嗎?"), nullptr));
    EXPECT_FALSE(confirmYesNo(QStringLiteral("刪除客戶 'A' 嗎?"), nullptr));
    QString first = QStringLiteral("舊");
    EXPECT_TRUE(inputString(QStringLiteral("類別名稱:"), first, nullptr));
    EXPECT_EQ(first, QStringLiteral(" 新類別 "));
    QString second = QStringLiteral("留下");
    EXPECT_FALSE(inputString(QStringLiteral("名稱:"), second, nullptr));
    EXPECT_EQ(second, QStringLiteral("留下"));
    showWarning(QStringLiteral("不能更改."), nullptr);

    EXPECT_EQ(guard.calls, 0);
    ASSERT_EQ(script.shown.size(), 6u);
    const Kind kinds[] = {Kind::Warning, Kind::Question, Kind::Question,
                          Kind::Input,   Kind::Input,    Kind::Warning};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(script.shown[i].kind, kinds[i]) << i;
    }
    EXPECT_EQ(script.warnings(),
              QStringList({QStringLiteral("無法連線"), QStringLiteral("不能更改.")}));
    EXPECT_EQ(script.questions(), QStringList({QStringLiteral("刪除 2 個客戶嗎?"),
                                               QStringLiteral("刪除客戶 'A' 嗎?")}));
    EXPECT_EQ(script.shown[3].text, QStringLiteral("類別名稱:"));
    EXPECT_EQ(script.shown[3].initial, QStringLiteral("舊"));
    EXPECT_TRUE(script.shown[3].answeredYes);
    EXPECT_FALSE(script.shown[4].answeredYes);
    EXPECT_EQ(script.pendingAnswers(), 0);
    EXPECT_TRUE(script.problems().isEmpty());
}

TEST(DialogScript, MissingOrMismatchedAnswersSayNoAndAreReported) {
    kest::DialogScript script;
    EXPECT_FALSE(confirmYesNo(QStringLiteral("沒有答案?"), nullptr));
    script.answerInput(QStringLiteral("abc"));
    EXPECT_FALSE(confirmYesNo(QStringLiteral("錯的答案?"), nullptr));
    EXPECT_EQ(script.pendingAnswers(), 1);  // the input answer is still there
    EXPECT_EQ(script.problems().size(), 2);
}

TEST(DialogScript, ScriptedInputObeysTheForm) {
    kest::DialogScript script;
    script.answerInput(QStringLiteral("   "));  // refused by the non-blank rule
    script.answerInput(QStringLiteral("abc"));  // typed into an upper-case field
    QString blank = QStringLiteral("原來");
    EXPECT_FALSE(inputString(QStringLiteral("?"), blank, nullptr));
    EXPECT_EQ(blank, QStringLiteral("原來"));
    EXPECT_EQ(script.problems().size(), 1);
    QString upper = QStringLiteral("UpperCase");
    EXPECT_TRUE(inputString(QStringLiteral("?"), upper, nullptr));
    EXPECT_EQ(upper, QStringLiteral("ABC"));
}

TEST(DialogScript, OnFormSeesTheRealForm) {
    kest::DialogScript script;
    std::vector<int> tops;
    QString caption;
    script.onForm = [&](QDialog& d) {
        tops.push_back(d.findChild<QLabel*>(QStringLiteral("msg"))->y());
        caption = d.windowTitle();
    };
    script.answerNo();
    script.answerNo();
    confirmYesNo(QString(24, QChar(0x5BA2)), nullptr);
    confirmYesNo(QString(25, QChar(0x5BA2)), nullptr);
    EXPECT_EQ(tops, (std::vector<int>{40, 24}));
    EXPECT_EQ(caption, QStringLiteral("信息"));
    script.cancelInput();
    QString t;
    inputString(QStringLiteral("?"), t, nullptr);
    EXPECT_EQ(caption, QStringLiteral("輸入字串"));
}

TEST(DialogScript, UninstallsItself) {
    {
        kest::DialogScript script;
        EXPECT_EQ(kest::DialogScript::current(), &script);
    }
    EXPECT_EQ(kest::DialogScript::current(), nullptr);
    int calls = 0;
    kest::ModalHandlerScope scope([&](QDialog&) {
        ++calls;
        return int(kest::mrOk);
    });
    EXPECT_TRUE(confirmYesNo(QStringLiteral("?"), nullptr));
    EXPECT_EQ(calls, 1);
}

}  // namespace
