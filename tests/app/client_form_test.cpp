// The customer list window against a real kestd: the condition texts, paging and its labels,
// the double-click rule, permissions, deletes, the link check with its reconnection, and the
// local store at start.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <optional>

#include "client_test_support.h"
#include "gui_testkit.h"
#include "local_store.h"
#include "login_form.h"
#include "requests.h"
#include "shared/action_button.h"
#include "shared/date_pickers.h"
#include "shared/line_edit.h"
#include "shared/string_grid.h"

using clienttest::LoggedInClient;
using clienttest::LoginScript;
using clienttest::ServerLink;
using clienttest::TestFolder;
using kest::DialogScript;
using kest::testkit::KestdServer;

namespace {

// ---------------------------------------------------------------- the condition text

struct ConditionCase {
    const char* name;
    int category;  // entry of `category`: 0 "所有", 1 "A"
    const char* id;
    const char* text;  // `name`
    int employee;      // entry of `employee`: 0 "所有", 3 is the employee with oid 57
    const char* condition;
};

class SearchCondition : public ::testing::TestWithParam<ConditionCase> {};

TEST_P(SearchCondition, IsBuiltFromTheFilters) {
    TClientForm form;
    form.category->addItems({"所有", "A", "B"});
    form.employee->addItems({"所有", "甲", "乙", "丙"});
    form.employeeOids = {12, 34, 57};
    const ConditionCase& c = GetParam();
    form.category->setCurrentIndex(c.category);
    form.id->setText(c.id);
    form.name->setText(c.text);
    form.employee->setCurrentIndex(c.employee);
    EXPECT_EQ(form.searchCondition(), c.condition);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, SearchCondition,
    ::testing::Values(ConditionCase{"Empty", 0, "", "", 0, ""},
                      ConditionCase{"BlanksAreEmpty", 0, "   ", " ", 0, ""},
                      ConditionCase{"CategoryAndNumber", 1, " 12 ", "", 0,
                                    "category.name='A' and id like '%12%'"},
                      ConditionCase{"NameAndEmployee", 0, "", "x", 3,
                                    "name like '%x%' and (employee=57 or followEmployee=57)"},
                      ConditionCase{"EmployeeAlone", 0, "", "", 1,
                                    "(employee=12 or followEmployee=12)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SearchConditionExpiry, SpansTheWholeDaysOfTheRange) {
    TClientForm form;
    form.category->addItem("所有");
    form.employee->addItem("所有");
    form.fromDate->setDateTime(QDateTime(QDate(2016, 9, 1), QTime(0, 0, 0)));
    form.toDate->setDateTime(QDateTime(QDate(2016, 9, 30), QTime(23, 59, 59)));
    EXPECT_EQ(form.searchCondition(), "");
    form.expireDate->setChecked(true);
    const qint64 from = QDateTime(QDate(2016, 9, 1), QTime(0, 0, 0)).toSecsSinceEpoch();
    const qint64 to = QDateTime(QDate(2016, 9, 30), QTime(23, 59, 59)).toSecsSinceEpoch();
    EXPECT_EQ(form.searchCondition(),
              QString("expireDate.stamp>=%1 and expireDate.stamp<=%2").arg(from).arg(to));
}

TEST(ClientFormConstruction, CaptionColumnsAndDefaults) {
    TClientForm form;
    EXPECT_EQ(form.windowTitle(), "KestDB客戶管理系統 (2016.10)");
    EXPECT_EQ(form.grid->rowTexts(0),
              QStringList({"ID", "類別", "客戶編號", "客戶名稱", "聯絡電話", "傳真", "地址", "備註",
                           "負責員工", "到期日期"}));
    EXPECT_LE(form.grid->colWidth(0), 1);
    EXPECT_EQ(form.grid->colWidth(3), 250);
    EXPECT_FALSE(form.previousButton->isEnabled());
    EXPECT_FALSE(form.nextButton->isEnabled());
    EXPECT_EQ(form.Timer1->interval(), 30000);
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(form.toDate->dateTime(), QDateTime(QDate::currentDate(), QTime(23, 59, 59)));
    EXPECT_EQ(form.fromDate->dateTime().time(), QTime(0, 0, 0));
}

TEST(ClientFormConstruction, FunctionKeysAndCaptions) {
    TClientForm form;
    const struct {
        const char* action;
        const char* caption;
        Qt::Key key;
    } keys[] = {
        {"insertAction", "加入 F2", Qt::Key_F2},   {"updateAction", "更改 F3", Qt::Key_F3},
        {"deleteAction", "刪除 F4", Qt::Key_F4},   {"eventAction", "事項 F6", Qt::Key_F6},
        {"employeeAction", "員工 F7", Qt::Key_F7}, {"settingAction", "設定 F8", Qt::Key_F8},
        {"reportAction", "報表 F9", Qt::Key_F9},   {"closeAction", "關閉 F12", Qt::Key_F12}};
    for (const auto& k : keys) {
        auto* action = form.findChild<QAction*>(k.action);
        ASSERT_NE(action, nullptr) << k.action;
        EXPECT_EQ(action->text(), k.caption);
        EXPECT_EQ(action->shortcut(), QKeySequence(k.key)) << k.action;
    }
}

TEST(ClientFormConstruction, F4WithoutSelectionSaysNothingIsSelected) {
    TClientForm form;
    form.startOnFirstShow = false;
    ASSERT_TRUE(kest::testkit::showActive(form));
    DialogScript dialogs;
    QTest::keyClick(&form, Qt::Key_F4);
    EXPECT_EQ(dialogs.warnings(), QStringList{"沒有選擇資料."});
}

// ---------------------------------------------------------------- paging

struct PagingCase {
    int customers;
    const char* total;
    const char* shown;
    bool next;
    int rows;
};

class Paging : public ::testing::TestWithParam<PagingCase> {};

TEST_P(Paging, FirstPageLabelsAndButtons) {
    TestFolder folder;
    KestdServer server;
    const PagingCase& c = GetParam();
    const QStringList demo =
        c.customers > 0 ? QStringList{"--demo", QString::number(c.customers)} : QStringList{};
    ASSERT_TRUE(server.start(demo)) << qPrintable(server.error());
    DialogScript dialogs;
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    client.showAllCustomers();
    TClientForm& form = client.form;
    EXPECT_EQ(form.totalRecord->text(), c.total);
    EXPECT_EQ(form.displayRecord->text(), c.shown);
    EXPECT_EQ(form.nextButton->isEnabled(), c.next);
    EXPECT_FALSE(form.previousButton->isEnabled());
    EXPECT_EQ(form.grid->dataRowCount(), c.rows);
    if (c.rows > 0) {
        EXPECT_EQ(form.grid->selectedRows(), std::vector<int>{1});
    }
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_TRUE(dialogs.warnings().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Totals, Paging,
                         ::testing::Values(PagingCase{60, "總數: 60", "顯示: 1-25", true, 25},
                                           PagingCase{25, "總數: 25", "顯示: 1-25", false, 25},
                                           PagingCase{0, "總數: 0", "顯示: 1-0", false, 0}));

class DemoServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--demo", "60"})) << qPrintable(server.error());
    }
    // Where most tests here begin: the window logged in as ADMIN, showing all customers.
    // Call through ASSERT_NO_FATAL_FAILURE; the window is then adminForm().
    void openAllCustomers() {
        admin_.emplace(folder, server);
        ASSERT_TRUE(admin_->started());
        admin_->showAllCustomers();
    }
    TClientForm& adminForm() { return admin_->form; }

    TestFolder folder;
    KestdServer server;

  private:
    std::optional<LoggedInClient> admin_;
};

TEST_F(DemoServer, PagingForwardToTheLastPageAndBack) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    form.nextButtonClick();
    EXPECT_EQ(form.displayRecord->text(), "顯示: 26-50");
    EXPECT_TRUE(form.previousButton->isEnabled());
    EXPECT_TRUE(form.nextButton->isEnabled());
    form.nextButtonClick();
    EXPECT_EQ(form.displayRecord->text(), "顯示: 51-60");
    EXPECT_FALSE(form.nextButton->isEnabled());
    EXPECT_EQ(form.grid->dataRowCount(), 10);
    form.previousButtonClick();
    form.previousButtonClick();
    EXPECT_EQ(form.startOffset, 0);
    EXPECT_EQ(form.displayRecord->text(), "顯示: 1-25");
    EXPECT_FALSE(form.previousButton->isEnabled());
    // A filter change starts again from the first page.
    form.nextButtonClick();
    form.searchButtonClick();
    EXPECT_EQ(form.startOffset, 0);
}

TEST_F(DemoServer, TheServerFiltersByTheConditionTexts) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    const QString someName = form.grid->cells(3, 1);
    ASSERT_FALSE(someName.isEmpty());
    form.name->setText(someName);
    form.searchKeyPress();
    const int matched = form.totalRecord->text().mid(4).toInt();
    EXPECT_GE(matched, 1);
    EXPECT_LT(matched, 60);
    for (int row = 1; row < form.grid->rowCount(); ++row) {
        EXPECT_TRUE(form.grid->cells(3, row).contains(someName));
    }
}

// ---------------------------------------------------------------- double-click

TEST_F(DemoServer, DoubleClickOnColumnZeroOrTheTitleDoesNothing) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    // The customer of row 2 disappears meanwhile, so opening it would say "不能更改.".
    ServerLink other(server);
    ASSERT_TRUE(other.ok());
    ASSERT_EQ(wire::deleteCustomer(other.channel, form.grid->cells(0, 2).toInt()), wire::kStatusOk);
    form.grid->selectRow(2);
    DialogScript dialogs;
    form.gridDblClick(0, 2);
    form.gridDblClick(3, 0);
    EXPECT_TRUE(dialogs.warnings().isEmpty());
    form.gridDblClick(3, 2);
    EXPECT_EQ(dialogs.warnings(), QStringList{"不能更改."});
}

// ---------------------------------------------------------------- permissions

TEST_F(DemoServer, AnEmployeeWithoutBit9IsHeldToHimself) {
    ServerLink admin(server);
    ASSERT_TRUE(admin.ok());
    wire::Employee clerk;
    clerk.id = "CLERK";
    clerk.name = "王小明";
    clerk.password = "PW";
    clerk.permission = wire::kPermLogin | wire::kPermEvents | wire::kPermChangeEvents;
    const int32_t oid = wire::insertEmployee(admin.channel, clerk);
    ASSERT_GE(oid, 0);

    LoggedInClient client(folder, server, "CLERK", "PW");
    ASSERT_TRUE(client.started());
    TClientForm& form = client.form;
    EXPECT_EQ(form.login.employeeOid, oid);
    EXPECT_FALSE(form.employee->isEnabled());
    EXPECT_EQ(form.employee->currentText(), "王小明");
    const QString own = QString("(employee=%1 or followEmployee=%1)").arg(oid);
    EXPECT_EQ(form.searchCondition(), own);
    form.name->setText("x");
    EXPECT_EQ(form.searchCondition(), "name like '%x%' and " + own);

    EXPECT_FALSE(form.insertAction->isEnabled());
    EXPECT_FALSE(form.deleteAction->isEnabled());
    EXPECT_TRUE(form.eventAction->isEnabled());
    EXPECT_FALSE(form.employeeAction->isEnabled());
    EXPECT_FALSE(form.settingAction->isEnabled());
    EXPECT_FALSE(form.reportAction->isEnabled());
    EXPECT_TRUE(form.eventChange);
    EXPECT_EQ(form.statusPanel->text(), "員工: CLERK 王小明");
    // The buttons follow their actions.
    EXPECT_FALSE(form.insertButton->isEnabled());
}

TEST_F(DemoServer, AdminSeesEverythingAndIsPreselected) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    TClientForm& form = client.form;
    EXPECT_TRUE(form.employee->isEnabled());
    EXPECT_EQ(form.employee->itemText(0), "所有");
    EXPECT_EQ(int(form.employeeOids.size()), form.employee->count() - 1);
    EXPECT_EQ(form.employeeOids[form.employee->currentIndex() - 1], form.login.employeeOid);
    EXPECT_EQ(form.category->itemText(0), "所有");
    EXPECT_EQ(form.category->currentIndex(), 0);
    for (QAction* a : {form.insertAction, form.deleteAction, form.eventAction, form.employeeAction,
                       form.settingAction, form.reportAction}) {
        EXPECT_TRUE(a->isEnabled()) << qPrintable(a->objectName());
    }
}

// ---------------------------------------------------------------- deletes

TEST_F(DemoServer, SingleDeleteAsksByNameAndNoKeepsTheCustomer) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    const QString customer = form.grid->cells(3, 1);
    DialogScript dialogs;
    dialogs.answerNo();
    form.deleteActionExecute();
    EXPECT_EQ(dialogs.questions(), QStringList{"刪除客戶 '" + customer + "' 嗎?"});
    EXPECT_EQ(form.totalRecord->text(), "總數: 60");
    dialogs.answerYes();
    form.deleteActionExecute();
    EXPECT_EQ(form.totalRecord->text(), "總數: 59");
    EXPECT_TRUE(dialogs.warnings().isEmpty());
}

TEST_F(DemoServer, SingleDeleteRefusedWarnsAndDoesNotRefresh) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    ServerLink other(server);
    ASSERT_EQ(wire::deleteCustomer(other.channel, form.grid->cells(0, 1).toInt()), wire::kStatusOk);
    const QString customer = form.grid->cells(3, 1);
    DialogScript dialogs;
    dialogs.answerYes();
    form.deleteActionExecute();
    EXPECT_EQ(dialogs.warnings(), QStringList{"無法刪除 '" + customer});
    EXPECT_EQ(form.totalRecord->text(), "總數: 60");  // the page as it was
}

TEST_F(DemoServer, ThreeDeletesWithOneRefused) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    const QString refusedName = form.grid->cells(3, 4);
    ServerLink other(server);
    ASSERT_EQ(wire::deleteCustomer(other.channel, form.grid->cells(0, 4).toInt()), wire::kStatusOk);
    form.grid->selectRow(2);
    form.grid->setRowSelected(4, true);
    form.grid->setRowSelected(6, true);
    DialogScript dialogs;
    dialogs.answerYes();
    form.deleteActionExecute();
    EXPECT_EQ(dialogs.questions(), QStringList{"刪除 3 個客戶嗎?"});
    EXPECT_EQ(dialogs.warnings(), QStringList{"無法刪除 '" + refusedName});
    EXPECT_EQ(form.totalRecord->text(), "總數: 57");
}

TEST_F(DemoServer, EmptyingTheLastPageShowsThePageBefore) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    form.nextButtonClick();
    form.nextButtonClick();
    ASSERT_EQ(form.grid->dataRowCount(), 10);
    for (int row = 1; row <= 10; ++row) {
        form.grid->setRowSelected(row, true);
    }
    DialogScript dialogs;
    dialogs.answerYes();
    form.deleteActionExecute();
    EXPECT_EQ(form.totalRecord->text(), "總數: 50");
    EXPECT_EQ(form.displayRecord->text(), "顯示: 26-50");
    EXPECT_EQ(form.grid->dataRowCount(), 25);
}

TEST_F(DemoServer, ActionsThatNeedARowSayWhenNoneIsSelected) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    form.grid->selectRow(0);
    DialogScript dialogs;
    form.updateActionExecute();
    form.deleteActionExecute();
    form.eventActionExecute();
    EXPECT_EQ(dialogs.warnings(), QStringList({"沒有選擇資料.", "沒有選擇資料.", "沒有選擇資料."}));
}

TEST(NoCategories, NewCustomerAsksForCategoriesFirst) {
    TestFolder folder;
    KestdServer server;
    ASSERT_TRUE(server.start()) << qPrintable(server.error());
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    EXPECT_EQ(client.form.category->count(), 1);
    DialogScript dialogs;
    client.form.insertActionExecute();
    EXPECT_EQ(dialogs.warnings(), QStringList{"請先按 [設定] 鈕設定客戶類別."});
}

// ---------------------------------------------------------------- the link check

// Runs the link check, up to 20 times 20 ms apart, until the window asks a question. The first
// send on a dead connection may still leave; the peer's reset fails the next.
void tickUntilAsked(TClientForm& form, const DialogScript& dialogs) {
    for (int tick = 0; tick < 20 && dialogs.questions().isEmpty(); ++tick) {
        form.Timer1Timer();
        QTest::qWait(20);
    }
}

TEST_F(DemoServer, ServerGoneUnderTheWindowTimerAsksAndReconnects) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    form.Timer1Timer();  // a live link: nothing to say
    ASSERT_NE(form.channel.socket, nullptr);

    server.stop();
    ASSERT_TRUE(server.start({"--demo", "60"})) << qPrintable(server.error());
    DialogScript dialogs;
    dialogs.answerYes();
    tickUntilAsked(form, dialogs);
    EXPECT_EQ(dialogs.questions(), QStringList{"斷線了, 從新連線嗎?"});
    EXPECT_EQ(dialogs.warnings(), QStringList{"己成功連線"});
    EXPECT_TRUE(form.Timer1->isActive());
    ASSERT_NE(form.channel.socket, nullptr);
    form.searchButtonClick();
    EXPECT_EQ(form.totalRecord->text(), "總數: 60");
}

TEST_F(DemoServer, DecliningTheReconnectLeavesTheWindowWithoutALink) {
    ASSERT_NO_FATAL_FAILURE(openAllCustomers());
    TClientForm& form = adminForm();
    server.stop();
    DialogScript dialogs;
    dialogs.answerNo();
    tickUntilAsked(form, dialogs);
    EXPECT_EQ(dialogs.questions(), QStringList{"斷線了, 從新連線嗎?"});
    EXPECT_EQ(form.channel.socket, nullptr);
    EXPECT_FALSE(form.Timer1->isActive());
    // Searching without a link shows an empty list instead of a negative total.
    form.searchButtonClick();
    EXPECT_EQ(form.totalRecord->text(), "總數: 0");
    EXPECT_EQ(form.grid->dataRowCount(), 0);
}

TEST_F(DemoServer, ClosingDropsTheLink) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    client.form.close();
    EXPECT_EQ(client.form.channel.socket, nullptr);
    EXPECT_FALSE(client.form.Timer1->isActive());
}

// ---------------------------------------------------------------- the local store

TEST(LocalStoreAtStart, OpenedBeforeTheLoginAndClosedWithTheWindow) {
    TestFolder folder;
    KestdServer server;
    ASSERT_TRUE(server.start()) << qPrintable(server.error());
    folder.write("clientLogin.cfg", clienttest::configFor(server));
    KestdbLocalStore store;
    TClientForm form(&store);
    bool openAtLogin = false;
    kest::ModalHandlerScope login([&](QDialog& dialog) {
        auto& form = dynamic_cast<TLoginForm&>(dialog);
        openAtLogin = store.isOpen();
        form.id->setText("ADMIN");
        form.password->setText("PLOVK");
        form.loginActionExecute();
        return form.result();
    });
    ASSERT_TRUE(form.FormShow());
    EXPECT_TRUE(openAtLogin);
    EXPECT_TRUE(folder.exists("KestCRMClient.kst"));
    form.close();
    EXPECT_FALSE(store.isOpen());
}

TEST(LocalStoreAtStart, AStoreThatCannotBeOpenedEndsTheStartBeforeTheLogin) {
    TestFolder folder;
    // A folder where the store file belongs: the engine cannot open it as its file.
    ASSERT_TRUE(QDir(folder.path()).mkdir("KestCRMClient.kst"));
    KestdbLocalStore store;
    TClientForm form(&store);
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "PLOVK"}};
    EXPECT_FALSE(form.FormShow());
    EXPECT_EQ(dialogs.warnings(), QStringList{"資料庫開啟錯誤."});
    EXPECT_EQ(login.loginDialogsShown, 0);
}

}  // namespace
