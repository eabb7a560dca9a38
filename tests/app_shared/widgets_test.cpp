// The shared widgets: StringGrid's grid numbering and selection, the Big5 guard of the text
// inputs, the upper-case edit, action-bound buttons, date pickers, widget kinds and fonts.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include "action_button.h"
#include "big5_validator.h"
#include "client_font.h"
#include "date_pickers.h"
#include "gui_testkit.h"
#include "line_edit.h"
#include "string_grid.h"
#include "widget_kind.h"

namespace {

using kest::testkit::showActive;

// ---- StringGrid ---------------------------------------------------------------------------

StringGrid* makeGrid(QWidget* parent, int dataRows) {
    auto* grid = new StringGrid(parent);
    grid->setTitles({QStringLiteral("ID"), QStringLiteral("客戶編號"), QStringLiteral("客戶名稱")});
    grid->hideIdColumn();
    for (int r = 1; r <= dataRows; ++r) {
        const int row = grid->appendRow();
        EXPECT_EQ(row, r);
        grid->setRowTexts(row, {QString::number(100 + r), QStringLiteral("C%1").arg(r),
                                QStringLiteral("客戶%1").arg(r)});
    }
    return grid;
}

TEST(StringGrid, TitleRowStaysAtRowZero) {
    QWidget w;
    StringGrid* grid = makeGrid(&w, 2);
    EXPECT_EQ(grid->rowCount(), 3);
    EXPECT_EQ(grid->cells(2, 0), QStringLiteral("客戶名稱"));

    grid->insertRowBelowTitle();
    grid->setCells(0, 1, QStringLiteral("200"));
    EXPECT_EQ(grid->rowCount(), 4);
    EXPECT_EQ(grid->rowTexts(0), QStringList({QStringLiteral("ID"), QStringLiteral("客戶編號"),
                                              QStringLiteral("客戶名稱")}));
    EXPECT_EQ(grid->cells(0, 1), QStringLiteral("200"));
    EXPECT_EQ(grid->cells(1, 1), QString());
    EXPECT_EQ(grid->cells(0, 2), QStringLiteral("101"));
    EXPECT_EQ(grid->cells(2, 3), QStringLiteral("客戶2"));

    grid->clearToTitle();
    EXPECT_EQ(grid->rowCount(), 1);
    EXPECT_FALSE(grid->hasData());
    EXPECT_EQ(grid->cells(1, 0), QStringLiteral("客戶編號"));
    EXPECT_EQ(grid->cells(0, 1), QString());  // outside: empty, no crash
    grid->setCells(0, 5, QStringLiteral("lost"));
    EXPECT_EQ(grid->rowCount(), 1);

    grid->setRowCount(0);  // never below the title row
    EXPECT_EQ(grid->rowCount(), 1);
    grid->removeRow(0);
    EXPECT_EQ(grid->cells(0, 0), QStringLiteral("ID"));
}

TEST(StringGrid, IdColumnIsPracticallyHidden) {
    QWidget w;
    StringGrid* grid = makeGrid(&w, 1);
    EXPECT_LE(grid->colWidth(0), 2);
    EXPECT_FALSE(grid->isColumnHidden(0));  // still there: the oid is read from it
}

QPoint rowCentre(StringGrid* grid, int row) {
    return grid->visualRect(grid->model()->index(row - 1, 1)).center();
}

TEST(StringGrid, MultiRowSelectionReportsGridRows) {
    QWidget w;
    w.resize(600, 400);
    StringGrid* grid = makeGrid(&w, 5);
    grid->setGeometry(0, 0, 600, 400);
    ASSERT_TRUE(showActive(w));
    EXPECT_EQ(grid->topSelectedRow(), 0);
    EXPECT_TRUE(grid->selectedRows().empty());

    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(grid, 4));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(grid, 2));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(grid, 5));
    EXPECT_EQ(grid->selectedRows(), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(grid->topSelectedRow(), 2);
    EXPECT_EQ(grid->cells(2, grid->topSelectedRow()), QStringLiteral("客戶2"));

    grid->selectRow(3);
    EXPECT_EQ(grid->selectedRows(), (std::vector<int>{3}));
    grid->setRowSelected(1, true);
    EXPECT_EQ(grid->selectedRows(), (std::vector<int>{1, 3}));
    grid->selectRow(0);  // the title row cannot be selected
    EXPECT_TRUE(grid->selectedRows().empty());

    // After inserting below the title, the selected row moves down with its data.
    grid->selectRow(2);
    grid->insertRowBelowTitle();
    EXPECT_EQ(grid->selectedRows(), (std::vector<int>{3}));
}

TEST(StringGrid, DoubleClicksComeInGridNumbering) {
    QWidget w;
    w.resize(600, 400);
    StringGrid* grid = makeGrid(&w, 3);
    grid->setGeometry(0, 0, 600, 400);
    ASSERT_TRUE(showActive(w));
    QSignalSpy spy(grid, &StringGrid::gridDoubleClicked);
    // QTest's widget double-click sends no press of its own; a real one follows a click.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(grid, 2));
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, rowCentre(grid, 2));
    QHeaderView* header = grid->horizontalHeader();
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                       QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy[0], (QList<QVariant>{1, 2}));
    EXPECT_EQ(spy[1], (QList<QVariant>{2, 0}));
}

// ---- Big5 guard ----------------------------------------------------------------------------

TEST(Big5Validator, RefusesWhatCp950CannotHold) {
    Big5Validator v;
    const struct {
        QString text;
        QValidator::State state;
    } cases[] = {
        {QStringLiteral("客戶"), QValidator::Acceptable},
        {QStringLiteral("ABC 123 ,.;'"), QValidator::Acceptable},
        {QString(), QValidator::Acceptable},
        {QStringLiteral("客戶😀"), QValidator::Invalid},   // emoji
        {QStringLiteral("\u00e9"), QValidator::Invalid},  // é: no Big5 code
        {QStringLiteral("汉"), QValidator::Invalid},      // simplified only
    };
    for (const auto& c : cases) {
        QString text = c.text;
        int pos = 0;
        EXPECT_EQ(v.validate(text, pos), c.state) << c.text.toStdString();
    }
    EXPECT_EQ(kest::dropNonBig5(QStringLiteral("客😀戶汉")), QStringLiteral("客戶"));
    EXPECT_EQ(kest::big5Length(QStringLiteral("客戶ab")), 6);
}

TEST(LineEdit, RefusesTypedOrPastedNonBig5AndKeepsTheRest) {
    LineEdit edit;
    ASSERT_TRUE(showActive(edit));
    kest::testkit::typeText(&edit, QStringLiteral("客😀戶"));
    EXPECT_EQ(edit.text(), QStringLiteral("客戶"));
    edit.insert(QStringLiteral("X😀"));  // a paste holding an emoji is refused whole
    EXPECT_EQ(edit.text(), QStringLiteral("客戶"));
    edit.setText(QStringLiteral("A😀B"));
    EXPECT_EQ(edit.text(), QStringLiteral("AB"));
    static_cast<QLineEdit&>(edit).setText(QStringLiteral("C😀D"));  // Qt's own setText
    EXPECT_EQ(edit.text(), QStringLiteral("CD"));
}

TEST(UpperCaseEdit, StoresLettersInUpperCase) {
    UpperCaseEdit edit;
    ASSERT_TRUE(showActive(edit));
    kest::testkit::typeText(&edit, QStringLiteral("ab1客c"));
    EXPECT_EQ(edit.text(), QStringLiteral("AB1客C"));
    edit.setText(QStringLiteral("admin"));
    EXPECT_EQ(edit.text(), QStringLiteral("ADMIN"));
}

TEST(InstallBig5Guard, GuardsEveryTextInputOfAForm) {
    QWidget form;
    auto* edit = new QLineEdit(&form);
    auto* memo = new QPlainTextEdit(&form);
    auto* combo = new QComboBox(&form);
    combo->setEditable(true);
    auto* date = new QDateEdit(&form);
    auto* number = new QLineEdit(&form);
    auto* digits = new QIntValidator(number);
    number->setValidator(digits);
    memo->setPlainText(QStringLiteral("先有😀的"));
    kest::installBig5Guard(&form);

    EXPECT_NE(qobject_cast<const Big5Validator*>(edit->validator()), nullptr);
    EXPECT_NE(qobject_cast<const Big5Validator*>(combo->lineEdit()->validator()), nullptr);
    const auto* dateEdit = date->findChild<QLineEdit*>();
    ASSERT_NE(dateEdit, nullptr);
    EXPECT_EQ(qobject_cast<const Big5Validator*>(dateEdit->validator()), nullptr);
    EXPECT_EQ(number->validator(), digits);  // an edit's own validator is kept
    edit->setText(QStringLiteral("名😀稱"));
    EXPECT_EQ(edit->text(), QStringLiteral("名稱"));

    EXPECT_EQ(memo->toPlainText(), QStringLiteral("先有的"));
    memo->moveCursor(QTextCursor::End);
    memo->insertPlainText(QStringLiteral("\n客😀戶"));
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("先有的\n客戶"));
    kest::installBig5Guard(&form);  // twice does no harm
    memo->insertPlainText(QStringLiteral("😀"));
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("先有的\n客戶"));
}

// ---- ActionButton --------------------------------------------------------------------------

TEST(ActionButton, FollowsItsAction) {
    QWidget form;
    QAction* insert = kest::makeAction(&form, "insertAction", QStringLiteral("加入 F2"),
                                       QKeySequence(Qt::Key_F2));
    int triggered = 0;
    QObject::connect(insert, &QAction::triggered, [&] { ++triggered; });
    auto* button = new ActionButton(insert, &form);
    EXPECT_EQ(button->text(), QStringLiteral("加入 F2"));
    ASSERT_TRUE(showActive(form));

    QTest::mouseClick(button, Qt::LeftButton);
    QTest::keyClick(&form, Qt::Key_F2);
    EXPECT_EQ(triggered, 2);

    insert->setEnabled(false);
    EXPECT_FALSE(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::keyClick(&form, Qt::Key_F2);
    EXPECT_EQ(triggered, 2);

    insert->setEnabled(true);
    insert->setText(QStringLiteral("新增 F2"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("新增 F2"));
}

// ---- Date pickers --------------------------------------------------------------------------

TEST(DatePicker, ShowsYearMonthDayAndKeepsTheTimeOfDay) {
    DatePicker picker;
    EXPECT_TRUE(picker.calendarPopup());
    const QDateTime end(QDate(2016, 9, 5), QTime(23, 59, 59));
    picker.setDateTime(end);
    EXPECT_EQ(picker.text(), QStringLiteral("2016/09/05"));
    EXPECT_EQ(picker.dateTime(), end);
    EXPECT_EQ(picker.stamp(), end.toSecsSinceEpoch());
    picker.setDate(QDate(2016, 10, 1));  // the user picks another day
    EXPECT_EQ(picker.dateTime(), QDateTime(QDate(2016, 10, 1), QTime(23, 59, 59)));
    picker.setStamp(0);
    EXPECT_EQ(picker.stamp(), 0);

    DateTimePicker both;
    both.setStamp(1473004800);
    EXPECT_EQ(both.stamp(), 1473004800);
    EXPECT_EQ(
        both.text(),
        QDateTime::fromSecsSinceEpoch(1473004800).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
}

// ---- Widget kinds and fonts ----------------------------------------------------------------

TEST(WidgetKind, ThePreviewCanTellControlsApart) {
    QWidget form;
    QLabel picture(&form);
    QPixmap pixmap(4, 4);
    pixmap.fill(Qt::red);
    picture.setPixmap(pixmap);
    QListWidget checks(&form);
    checks.addItem(QStringLiteral("a"));
    checks.item(0)->setFlags(checks.item(0)->flags() | Qt::ItemIsUserCheckable);
    QFrame panel(&form);
    const struct {
        const char* expected;
        QWidget* widget;
    } cases[] = {
        {"label", new QLabel(QStringLiteral("標籤"), &form)},
        {"image", &picture},
        {"edit", new QLineEdit(&form)},
        {"edit", new UpperCaseEdit(&form)},
        {"combo", new QComboBox(&form)},
        {"memo", new QPlainTextEdit(&form)},
        {"check", new QCheckBox(&form)},
        {"radio", new QRadioButton(&form)},
        {"date", new DatePicker(&form)},
        {"date", new DateTimePicker(&form)},
        {"date", new QDateEdit(&form)},
        {"grid", new StringGrid(&form)},
        {"group", new QGroupBox(&form)},
        {"panel", &panel},
        {"checklist", &checks},
        {"", new QPushButton(&form)},
        {"", new ActionButton(&form)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kest::widgetKind(c.widget), QString::fromLatin1(c.expected))
            << c.widget->metaObject()->className();
    }
    auto* custom = new QWidget(&form);
    kest::setWidgetKind(custom, kest::kind::memo);
    EXPECT_EQ(kest::widgetKind(custom), QStringLiteral("memo"));
}

TEST(ClientFont, FontconfigKnowsTheMingAlias) {
    // The alias file is loaded by applyClientFont in the test main.
    for (const char* face : {"新細明體", "PMingLiU", "細明體"}) {
        EXPECT_TRUE(kest::fontconfigMatch(QString::fromUtf8(face))
                        .startsWith(QStringLiteral("AR PL UMing")))
            << face << " → " << kest::fontconfigMatch(QString::fromUtf8(face)).toStdString();
    }
}

TEST(ClientFont, MingFaceRendersChinese) {
    EXPECT_TRUE(kest::resolvedClientFamily().contains(QStringLiteral("UMing")))
        << kest::resolvedClientFamily().toStdString();
    const QFontMetrics metrics(kest::clientFont(16, true));
    for (QChar c : QStringLiteral("信息輸入字串確定客戶")) {
        EXPECT_TRUE(metrics.inFont(c)) << int(c.unicode());
    }
}

}  // namespace
