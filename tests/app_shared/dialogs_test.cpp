// The warning, confirmation and input dialogs: the real forms driven by keys and clicks (shown
// offscreen, never in a modal loop), and the three operations run through execModal.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>

#include "action_button.h"
#include "dialogs.h"
#include "gui_testkit.h"
#include "input_form.h"
#include "line_edit.h"
#include "modal.h"
#include "yes_no_form.h"

namespace {

using kest::mrCancel;
using kest::mrNo;
using kest::mrOk;
using kest::testkit::playUser;
using kest::testkit::showActive;

QString chinese(int n) {
    return QString(n, QChar(0x5BA2));
}  // 客 × n: 2n Big5 bytes

// ---- TYesNoForm ------------------------------------------------------------------------

struct QuestionTop {
    const char* name;
    QString question;
    int top;
};

class QuestionLabelTop : public ::testing::TestWithParam<QuestionTop> {};

TEST_P(QuestionLabelTop, ShortQuestionsMoveDown) {
    TYesNoForm form;
    form.setupAsQuestion(GetParam().question);
    EXPECT_EQ(form.msg->y(), GetParam().top);
    EXPECT_EQ(form.msg->text(), GetParam().question);
    // Both buttons keep their places and captions.
    EXPECT_FALSE(form.NoButton->isHidden());
    EXPECT_EQ(form.YesButton->text(), QStringLiteral("是 F4 (&Y)"));
    EXPECT_EQ(form.NoButton->text(), QStringLiteral("否 Esc (&N)"));
    EXPECT_EQ(form.YesButton->geometry(), QRect(157, 155, 120, 33));
}

INSTANTIATE_TEST_SUITE_P(
    Big5Bytes, QuestionLabelTop,
    ::testing::Values(QuestionTop{"Chinese24", chinese(24), 40},
                      QuestionTop{"Chinese25", chinese(25), 24},
                      QuestionTop{"Ascii49", QString(49, QLatin1Char('a')), 40},
                      QuestionTop{"Ascii50", QString(50, QLatin1Char('a')), 24},
                      // 24 Chinese characters and one ASCII letter: 49 bytes though 25 chars.
                      QuestionTop{"Mixed49", chinese(24) + QLatin1Char('x'), 40},
                      QuestionTop{"Empty", QString(), 40}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(YesNoForm, WarningHasOneCentredButtonAndKeepsTheLabelUp) {
    TYesNoForm form;
    form.setupAsWarning(QStringLiteral("無法連線"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("信息"));
    EXPECT_EQ(form.size(), QSize(559, 220));
    EXPECT_TRUE(form.NoButton->isHidden());
    EXPECT_EQ(form.YesButton->text(), QStringLiteral("確定"));
    EXPECT_EQ(form.YesButton->geometry(), QRect(220, 155, 120, 33));
    EXPECT_EQ(form.msg->y(), 24);
    EXPECT_EQ(form.msg->text(), QStringLiteral("無法連線"));
}

struct KeyCase {
    const char* name;
    int key;
    int result;
};

class QuestionKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(QuestionKeys, CloseWithTheirResult) {
    TYesNoForm form;
    form.setupAsQuestion(QStringLiteral("刪除客戶 'A' 嗎?"));
    ASSERT_TRUE(showActive(form));
    QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(GetParam().key));
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Keys, QuestionKeys,
                         ::testing::Values(KeyCase{"F4", Qt::Key_F4, mrOk},
                                           KeyCase{"Y", Qt::Key_Y, mrOk},
                                           KeyCase{"Esc", Qt::Key_Escape, mrNo},
                                           KeyCase{"N", Qt::Key_N, mrNo},
                                           // NoButton holds the focus: Enter means No.
                                           KeyCase{"Enter", Qt::Key_Return, mrNo}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(YesNoForm, NoButtonHoldsTheFocusAndButtonsAnswer) {
    TYesNoForm form;
    form.setupAsQuestion(QStringLiteral("?"));
    ASSERT_TRUE(showActive(form));
    EXPECT_EQ(QApplication::focusWidget(), form.NoButton);
    QTest::mouseClick(form.YesButton, Qt::LeftButton);
    EXPECT_EQ(form.result(), mrOk);

    TYesNoForm again;
    again.setupAsQuestion(QStringLiteral("?"));
    ASSERT_TRUE(showActive(again));
    QTest::mouseClick(again.NoButton, Qt::LeftButton);
    EXPECT_EQ(again.result(), mrNo);
}

TEST(YesNoForm, TitleBarCloseGivesCancel) {
    TYesNoForm form;
    form.setupAsQuestion(QStringLiteral("?"));
    ASSERT_TRUE(showActive(form));
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), mrCancel);
}

// ---- confirmYesNo and showWarning through execModal ---------------------------------------

TEST(ConfirmYesNo, TrueOnlyForYes) {
    struct Way {
        const char* name;
        std::function<void(QDialog&)> user;
        bool expected;
    };
    const auto key = [](Qt::Key k) {
        return [k](QDialog&) { QTest::keyClick(QApplication::focusWidget(), k); };
    };
    const Way ways[] = {
        {"F4", key(Qt::Key_F4), true},
        {"Y", key(Qt::Key_Y), true},
        {"N", key(Qt::Key_N), false},
        {"Esc", key(Qt::Key_Escape), false},
        {"title bar", [](QDialog& d) { d.close(); }, false},
    };
    for (const Way& way : ways) {
        int stillOpen = 0;
        kest::ModalHandlerScope scope(playUser(way.user, &stillOpen));
        EXPECT_EQ(confirmYesNo(QStringLiteral("斷線了, 從新連線嗎?"), nullptr), way.expected)
            << way.name;
        EXPECT_EQ(stillOpen, 0) << way.name;
    }
}

TEST(ShowWarning, EveryKeyAndTheTitleBarCloseIt) {
    const Qt::Key keys[] = {Qt::Key_F4, Qt::Key_Y, Qt::Key_Escape, Qt::Key_N, Qt::Key_Return};
    for (Qt::Key k : keys) {
        int stillOpen = 0;
        QString shownText;
        kest::ModalHandlerScope scope(playUser(
            [k, &shownText](QDialog& d) {
                shownText = d.findChild<QLabel*>(QStringLiteral("msg"))->text();
                QTest::keyClick(QApplication::focusWidget(), k);
            },
            &stillOpen));
        showWarning(QStringLiteral("沒有選擇資料."), nullptr);
        EXPECT_EQ(stillOpen, 0) << QKeySequence(k).toString().toStdString();
        EXPECT_EQ(shownText, QStringLiteral("沒有選擇資料."));
    }
    int stillOpen = 0;
    kest::ModalHandlerScope scope(playUser([](QDialog& d) { d.close(); }, &stillOpen));
    showWarning(QStringLiteral("x"), nullptr);
    EXPECT_EQ(stillOpen, 0);
}

TEST(Dialogs, AreModalOverTheOwnerAndGoneAfterTheCall) {
    QWidget owner;
    QPointer<QDialog> seen;
    {
        kest::ModalHandlerScope scope([&](QDialog& d) {
            seen = &d;
            EXPECT_EQ(d.parentWidget(), &owner);
            return int(mrOk);
        });
        EXPECT_TRUE(confirmYesNo(QStringLiteral("?"), &owner));
    }
    EXPECT_TRUE(seen.isNull());
    EXPECT_TRUE(owner.findChildren<QDialog*>().isEmpty());
}

TEST(Dialogs, KeysGoToTheDialogNotToTheOwnersActions) {
    // The main window has F4 (delete) and Esc-like actions of its own; while a dialog is up
    // they must neither fire nor make the dialog's keys ambiguous.
    QWidget owner;
    int ownerFired = 0;
    for (Qt::Key k : {Qt::Key_F4, Qt::Key_Escape, Qt::Key_Y}) {
        QAction* a = kest::makeAction(&owner, "ownerAction", QStringLiteral("x"), QKeySequence(k));
        QObject::connect(a, &QAction::triggered, [&] { ++ownerFired; });
    }
    ASSERT_TRUE(showActive(owner));
    const struct {
        Qt::Key key;
        bool expected;
    } cases[] = {{Qt::Key_F4, true}, {Qt::Key_Y, true}, {Qt::Key_Escape, false}};
    for (const auto& c : cases) {
        int stillOpen = 0;
        kest::ModalHandlerScope scope(playUser(
            [&](QDialog&) { QTest::keyClick(QApplication::focusWidget(), c.key); }, &stillOpen));
        EXPECT_EQ(confirmYesNo(QStringLiteral("?"), &owner), c.expected);
        EXPECT_EQ(stillOpen, 0);
    }
    int stillOpen = 0;
    kest::ModalHandlerScope scope(playUser(
        [](QDialog& d) {
            auto& form = static_cast<TInputForm&>(d);
            QTest::keyClicks(form.inputText, QStringLiteral("a"));
            QTest::keyClick(form.inputText, Qt::Key_F4);
        },
        &stillOpen));
    QString text;
    EXPECT_TRUE(inputString(QStringLiteral("?"), text, &owner));
    EXPECT_EQ(stillOpen, 0);
    EXPECT_EQ(ownerFired, 0);
}

// ---- TInputForm ---------------------------------------------------------------------------

TEST(InputForm, BlankFieldCannotBeConfirmed) {
    const QString blanks[] = {QString(), QStringLiteral("   "), QStringLiteral(" \t "),
                              QStringLiteral("\u3000\u3000")};
    struct Way {
        const char* name;
        std::function<void(TInputForm&)> press;
    };
    const Way ways[] = {
        {"F4", [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_F4); }},
        {"Enter", [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_Return); }},
        {"keypad Enter",
         [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_Enter, Qt::KeypadModifier); }},
        {"OK button", [](TInputForm& f) { QTest::mouseClick(f.YesButton, Qt::LeftButton); }},
    };
    for (const QString& blank : blanks) {
        for (const Way& way : ways) {
            TInputForm form;
            form.setup(QStringLiteral("請輸入類別名稱:"), blank);
            ASSERT_TRUE(showActive(form));
            way.press(form);
            EXPECT_TRUE(form.isVisible()) << way.name << " on '" << blank.toStdString() << "'";
            EXPECT_EQ(form.result(), 0) << way.name;
        }
    }
}

TEST(InputForm, EnterAndF4ConfirmText_EscAndCloseCancel) {
    const struct {
        const char* name;
        std::function<void(TInputForm&)> press;
        int result;
    } cases[] = {
        {"Enter", [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_Return); }, mrOk},
        {"F4", [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_F4); }, mrOk},
        {"Esc", [](TInputForm& f) { QTest::keyClick(f.inputText, Qt::Key_Escape); }, mrCancel},
        {"Cancel", [](TInputForm& f) { QTest::mouseClick(f.NoButton, Qt::LeftButton); }, mrCancel},
        {"title bar", [](TInputForm& f) { f.close(); }, mrCancel},
    };
    for (const auto& c : cases) {
        TInputForm form;
        form.setup(QStringLiteral("?"), QStringLiteral("x"));
        ASSERT_TRUE(showActive(form));
        c.press(form);
        EXPECT_FALSE(form.isVisible()) << c.name;
        EXPECT_EQ(form.result(), c.result) << c.name;
    }
}

TEST(InputForm, FocusedFieldIsLightYellow) {
    TInputForm form;
    form.setup(QStringLiteral("?"), QString());
    ASSERT_TRUE(showActive(form));
    EXPECT_EQ(QApplication::focusWidget(), form.inputText);
    EXPECT_EQ(form.inputText->palette().color(QPalette::Base), QColor(237, 240, 125));
    form.NoButton->setFocus();
    QApplication::processEvents();
    EXPECT_NE(form.inputText->palette().color(QPalette::Base), QColor(237, 240, 125));
}

TEST(InputForm, UpperCaseWordPutByOtherMeansAppliesOnShow) {
    TInputForm form;
    form.setup(QStringLiteral("?"), QString());
    form.inputText->setText(QStringLiteral("UpperCase"));
    ASSERT_TRUE(showActive(form));
    EXPECT_EQ(form.inputText->text(), QString());
    QTest::keyClicks(form.inputText, QStringLiteral("ab"));
    EXPECT_EQ(form.inputText->text(), QStringLiteral("AB"));
}

// ---- inputString through execModal --------------------------------------------------------

TEST(InputString, ReturnsTheTextUntrimmed) {
    kest::ModalHandlerScope scope(playUser([](QDialog& d) {
        auto& form = static_cast<TInputForm&>(d);
        kest::testkit::typeText(form.inputText, QStringLiteral("  客戶 "));
        QTest::mouseClick(form.YesButton, Qt::LeftButton);
    }));
    QString text;
    ASSERT_TRUE(inputString(QStringLiteral("請輸入:"), text, nullptr));
    EXPECT_EQ(text, QStringLiteral("  客戶 "));
}

TEST(InputString, BlankThenCancelLeavesTheTextUnchanged) {
    int stillOpen = 0;
    bool refused = false;
    kest::ModalHandlerScope scope(playUser(
        [&](QDialog& d) {
            auto& form = static_cast<TInputForm&>(d);
            form.inputText->clear();
            QTest::keyClicks(form.inputText, QStringLiteral("   "));
            QTest::keyClick(form.inputText, Qt::Key_F4);
            QTest::keyClick(form.inputText, Qt::Key_Return);
            QTest::mouseClick(form.YesButton, Qt::LeftButton);
            refused = form.isVisible();
            QTest::keyClick(form.inputText, Qt::Key_Escape);
        },
        &stillOpen));
    QString text = QStringLiteral("原來");
    EXPECT_FALSE(inputString(QStringLiteral("?"), text, nullptr));
    EXPECT_TRUE(refused);
    EXPECT_EQ(stillOpen, 0);
    EXPECT_EQ(text, QStringLiteral("原來"));
}

TEST(InputString, UpperCaseOpensEmptyAndStoresCapitals) {
    QString seenAtOpen = QStringLiteral("?");
    kest::ModalHandlerScope scope(playUser([&](QDialog& d) {
        auto& form = static_cast<TInputForm&>(d);
        seenAtOpen = form.inputText->text();
        QTest::keyClicks(form.inputText, QStringLiteral("abc"));
        QTest::keyClick(form.inputText, Qt::Key_F4);
    }));
    QString text = QStringLiteral("UpperCase");
    ASSERT_TRUE(inputString(QStringLiteral("請輸入密碼:"), text, nullptr));
    EXPECT_EQ(seenAtOpen, QString());
    EXPECT_EQ(text, QStringLiteral("ABC"));
}

TEST(InputString, OtherSpellingsOfUpperCaseArePlainPreFills) {
    for (const QString& prefill : {QStringLiteral("uppercase"), QStringLiteral("UPPERCASE"),
                                   QStringLiteral("UpperCase "), QStringLiteral("客戶")}) {
        QString seenAtOpen;
        kest::ModalHandlerScope scope(playUser([&](QDialog& d) {
            auto& form = static_cast<TInputForm&>(d);
            seenAtOpen = form.inputText->text();
            form.inputText->end(false);
            QTest::keyClicks(form.inputText, QStringLiteral("x"));
            QTest::keyClick(form.inputText, Qt::Key_Return);
        }));
        QString text = prefill;
        ASSERT_TRUE(inputString(QStringLiteral("?"), text, nullptr));
        EXPECT_EQ(seenAtOpen, prefill);
        EXPECT_EQ(text, prefill + QLatin1Char('x'));  // typed letters stay lower case
    }
}

}  // namespace
