// TClientForm: the customer list window. Read from top to bottom it follows the window's life:
// construction, start-up (store, login, lists, first search), searching and paging, the
// customer actions, the other windows, the link check and reconnection, and the close.
#include "client_form.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "expiry_range.h"
#include "local_store.h"
#include "login_form.h"
#include "requests.h"
#include "shared/action_button.h"
#include "shared/big5_validator.h"
#include "shared/date_pickers.h"
#include "shared/dialogs.h"
#include "shared/line_edit.h"
#include "shared/modal.h"
#include "shared/string_grid.h"
#include "socket.h"

namespace {

constexpr const char* kDesignCaption = "KestDB客戶管理系統 (2016.";
constexpr int kLinkCheckMs = 30000;
constexpr int kConnectPasses = 5;
constexpr const char* kAll = "所有";
constexpr const char* kUpdater = "KestUpdate";

// Grid columns: the oid, then what the Query of "Customer" sends, in its order.
enum Column {
    colOid,
    colCategory,
    colNumber,
    colName,
    colTel,
    colFax,
    colAddress,
    colNotes,
    colEmployee,
    colExpiry,
    kColumns
};
struct ColumnLayout {
    const char* title;
    int width;
};
constexpr ColumnLayout kColumnLayout[kColumns] = {
    {"ID", 1},     {"類別", 100}, {"客戶編號", 100}, {"客戶名稱", 250}, {"聯絡電話", 100},
    {"傳真", 100}, {"地址", 100}, {"備註", 100},     {"負責員工", 100}, {"到期日期", 80},
};

std::string utf8(const QString& text) {
    return text.toStdString();
}
QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// ============================================================================ construction

TClientForm::TClientForm(LocalStore* store, QWidget* parent)
    : QMainWindow(parent), store_(store), clientFolder_(QDir::currentPath()) {
    setObjectName("TClientForm");
    designCaption_ = QString(kDesignCaption) + QString::number(wire::kClientVersion) + ")";
    setWindowTitle(designCaption_);
    resize(1024, 700);
    buildControls();

    const ExpiryRange range = defaultExpiryRange(QDate::currentDate());
    fromDate->setDateTime(range.from);
    fromDate->setTimeOfDay(range.from.time());
    toDate->setDateTime(range.to);
    toDate->setTimeOfDay(range.to.time());

    // Filter changes start a search; they are connected after the defaults are in place.
    connect(category, &QComboBox::activated, this, [this] { searchButtonClick(); });
    connect(employee, &QComboBox::activated, this, [this] { searchButtonClick(); });
    connect(expireDate, &QCheckBox::clicked, this, [this] { searchButtonClick(); });
    connect(fromDate, &QDateEdit::dateChanged, this, [this] { searchButtonClick(); });
    connect(toDate, &QDateEdit::dateChanged, this, [this] { searchButtonClick(); });
    connect(id, &QLineEdit::returnPressed, this, [this] { searchKeyPress(); });
    connect(name, &QLineEdit::returnPressed, this, [this] { searchKeyPress(); });
    connect(searchButton, &QPushButton::clicked, this, [this] { searchButtonClick(); });
    connect(previousButton, &QPushButton::clicked, this, [this] { previousButtonClick(); });
    connect(nextButton, &QPushButton::clicked, this, [this] { nextButtonClick(); });
    connect(grid, &kest::StringGrid::gridDoubleClicked, this,
            [this](int col, int row) { gridDblClick(col, row); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

TClientForm::~TClientForm() {
    channel.socket = nullptr;
}

void TClientForm::buildControls() {
    // Actions with their function keys; each button below is bound to one.
    insertAction = kest::makeAction(this, "insertAction", "加入 F2", Qt::Key_F2);
    updateAction = kest::makeAction(this, "updateAction", "更改 F3", Qt::Key_F3);
    deleteAction = kest::makeAction(this, "deleteAction", "刪除 F4", Qt::Key_F4);
    eventAction = kest::makeAction(this, "eventAction", "事項 F6", Qt::Key_F6);
    employeeAction = kest::makeAction(this, "employeeAction", "員工 F7", Qt::Key_F7);
    settingAction = kest::makeAction(this, "settingAction", "設定 F8", Qt::Key_F8);
    reportAction = kest::makeAction(this, "reportAction", "報表 F9", Qt::Key_F9);
    closeAction = kest::makeAction(this, "closeAction", "關閉 F12", Qt::Key_F12);
    connect(insertAction, &QAction::triggered, this, [this] { insertActionExecute(); });
    connect(updateAction, &QAction::triggered, this, [this] { updateActionExecute(); });
    connect(deleteAction, &QAction::triggered, this, [this] { deleteActionExecute(); });
    connect(eventAction, &QAction::triggered, this, [this] { eventActionExecute(); });
    connect(employeeAction, &QAction::triggered, this, [this] { employeeActionExecute(); });
    connect(settingAction, &QAction::triggered, this, [this] { settingActionExecute(); });
    connect(reportAction, &QAction::triggered, this, [this] { reportActionExecute(); });
    connect(closeAction, &QAction::triggered, this, [this] { closeActionExecute(); });

    auto* central = new QWidget(this);
    setCentralWidget(central);
    auto button = [central](QAction* action, const char* objectName) {
        auto* b = new kest::ActionButton(action, central);
        b->setObjectName(objectName);
        b->setFocusPolicy(Qt::NoFocus);
        b->setMinimumHeight(36);
        return b;
    };
    auto plainButton = [central](const QString& caption, const char* objectName) {
        auto* b = new QPushButton(caption, central);
        b->setObjectName(objectName);
        b->setFocusPolicy(Qt::NoFocus);
        b->setMinimumHeight(36);
        return b;
    };
    insertButton = button(insertAction, "insertButton");
    updateButton = button(updateAction, "updateButton");
    deleteButton = button(deleteAction, "deleteButton");
    repairButton = button(eventAction, "repairButton");
    empButton = button(employeeAction, "empButton");
    BitBtn1 = button(settingAction, "BitBtn1");
    BitBtn2 = button(reportAction, "BitBtn2");
    exportButton = plainButton("匯出", "exportButton");
    ImportButton = plainButton("匯入", "ImportButton");
    reconnectButton = plainButton("重新連線", "reconnectButton");
    closeButton = button(closeAction, "closeButton");
    connect(exportButton, &QPushButton::clicked, this, [this] { exportButtonClick(); });
    connect(ImportButton, &QPushButton::clicked, this, [this] { ImportButtonClick(); });
    connect(reconnectButton, &QPushButton::clicked, this, [this] { reconnectButtonClick(); });

    auto* toolBar = new QHBoxLayout;
    for (QPushButton* b : std::initializer_list<QPushButton*>{
             insertButton, updateButton, deleteButton, repairButton, empButton, BitBtn1, BitBtn2,
             exportButton, ImportButton, reconnectButton}) {
        toolBar->addWidget(b);
    }
    toolBar->addStretch();
    toolBar->addWidget(closeButton);

    // Filters.
    category = new QComboBox(central);
    category->setObjectName("category");
    category->setMinimumContentsLength(10);
    id = new kest::UpperCaseEdit(central);
    id->setObjectName("id");
    id->setMaximumWidth(120);
    name = new kest::LineEdit(central);
    name->setObjectName("name");
    name->setMaximumWidth(180);
    employee = new QComboBox(central);
    employee->setObjectName("employee");
    employee->setMinimumContentsLength(10);
    expireDate = new QCheckBox("到期日期由", central);
    expireDate->setObjectName("expireDate");
    fromDate = new kest::DatePicker(central);
    fromDate->setObjectName("fromDate");
    toDate = new kest::DatePicker(central);
    toDate->setObjectName("toDate");
    searchButton = plainButton("尋找", "searchButton");

    auto* filters = new QHBoxLayout;
    auto label = [central, filters](const char* text, QWidget* buddy) {
        auto* l = new QLabel(text, central);
        l->setBuddy(buddy);
        filters->addWidget(l);
        filters->addWidget(buddy);
    };
    label("類別:", category);
    label("客戶編號:", id);
    label("客戶名稱:", name);
    label("員工:", employee);
    filters->addSpacing(8);
    filters->addWidget(expireDate);
    filters->addWidget(fromDate);
    filters->addWidget(new QLabel("至", central));
    filters->addWidget(toDate);
    filters->addWidget(searchButton);
    filters->addStretch();

    // Paging.
    previousButton = plainButton("前頁", "previousButton");
    previousButton->setToolTip("前一頁");
    previousButton->setEnabled(false);
    nextButton = plainButton("後頁", "nextButton");
    nextButton->setToolTip("後一頁");
    nextButton->setEnabled(false);
    totalRecord = new QLabel("總數: 0", central);
    totalRecord->setObjectName("totalRecord");
    totalRecord->setMinimumWidth(120);
    displayRecord = new QLabel("顯示: ", central);
    displayRecord->setObjectName("displayRecord");
    displayRecord->setMinimumWidth(140);
    auto* paging = new QHBoxLayout;
    paging->addWidget(previousButton);
    paging->addWidget(nextButton);
    paging->addSpacing(16);
    paging->addWidget(totalRecord);
    paging->addWidget(displayRecord);
    paging->addStretch();

    // The customer page.
    grid = new kest::StringGrid(central);
    grid->setObjectName("grid");
    QStringList titles;
    for (const ColumnLayout& c : kColumnLayout) {
        titles << c.title;
    }
    grid->setTitles(titles);
    for (int col = 0; col < kColumns; ++col) {
        grid->setColWidth(col, kColumnLayout[col].width);
    }
    grid->hideIdColumn();

    auto* layout = new QVBoxLayout(central);
    layout->addLayout(toolBar);
    layout->addLayout(filters);
    layout->addLayout(paging);
    layout->addWidget(grid, 1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName("StatusBar1");
    statusPanel = new QLabel("總數: 0", StatusBar1);
    statusPanel->setObjectName("statusPanel");
    statusPanel->setFixedWidth(200);
    StatusBar1->addWidget(statusPanel);
    setStatusBar(StatusBar1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(kLinkCheckMs);

    installBig5Guard(this);
}

// ============================================================================ start-up

void TClientForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!started_ && startOnFirstShow) {
        // After the window is on screen, so the login dialog appears over it.
        QTimer::singleShot(0, this, [this] { FormShow(); });
    }
}

bool TClientForm::FormShow() {
    if (started_) {
        return true;
    }
    started_ = true;
    if (store_ && !store_->open()) {
        showWarning("資料庫開啟錯誤.", this);
        close();
        return false;
    }
    if (!startupLogin()) {
        close();
        return false;
    }
    loadLists();
    search();
    Timer1->start();
    return true;
}

// Shows the login dialog until a login succeeds or the user gives up. True when logged in.
bool TClientForm::startupLogin() {
    TLoginForm dialog(clientFolder_, this);
    for (;;) {
        dialog.setWindowTitle(windowTitle());
        if (execModal(dialog) != kest::mrOk) {
            return false;
        }
        const LoginSettings& settings = dialog.settings;
        login.serverAddress = settings.serverIp + ":" + QString::number(settings.port);
        if (!connectSocket()) {
            showWarning("無法連線", this);
            continue;
        }
        login.loginId = dialog.id->text();
        login.loginPassword = dialog.password->text();
        channel.resetRequest();
        wire::LoginReply reply;
        const LoginOutcome outcome = sendLogin("密碼錯誤", reply);
        if (outcome == LoginOutcome::Updater) {
            return false;
        }
        if (outcome == LoginOutcome::Failed) {
            continue;
        }
        login.employeeOid = reply.employeeOid;
        setWindowTitle(windowTitle() + " 註冊公司: " + qt(reply.company));

        const wire::EmployeeReply me = wire::getEmployee(channel, login.employeeOid);
        if (me.status == wire::kStatusOk) {
            applyEmployee(me.employee);
        }
        return true;
    }
}

// Sends the login of login.loginId/loginPassword over the connected socket. A login that could
// not be sent, or that the server turned down for the number or password (warned about with
// `wrongPassword`), drops the socket and is Failed; a client version the server refuses drops
// the socket and hands over to the updater.
TClientForm::LoginOutcome TClientForm::sendLogin(const QString& wrongPassword,
                                                 wire::LoginReply& reply) {
    reply = wire::login(channel, utf8(login.loginId), utf8(login.loginPassword));
    if (!reply.sent) {
        showWarning("無法連線", this);
        dropSocket();
        return LoginOutcome::Failed;
    }
    if (reply.status == wire::kStatusRefused) {
        dropSocket();
        handOverToUpdater();
        return LoginOutcome::Updater;
    }
    if (reply.status < wire::kStatusOk) {  // -2: wrong number or password, or link lost
        showWarning(wrongPassword, this);
        dropSocket();
        return LoginOutcome::Failed;
    }
    return LoginOutcome::LoggedIn;
}

// The logged-in employee's permission bits decide what this window offers.
void TClientForm::applyEmployee(const wire::Employee& e) {
    login.employee = e;
    const auto allowed = [&e](wire::Permission p) { return wire::hasPermission(e.permission, p); };
    insertAction->setEnabled(allowed(wire::kPermInsertCustomer));
    deleteAction->setEnabled(allowed(wire::kPermDeleteCustomer));
    eventAction->setEnabled(allowed(wire::kPermEvents));
    employeeAction->setEnabled(allowed(wire::kPermEmployees));
    settingAction->setEnabled(allowed(wire::kPermSettings));
    reportAction->setEnabled(allowed(wire::kPermReports));
    eventChange = allowed(wire::kPermChangeEvents);
    employee->setEnabled(allowed(wire::kPermAllCustomers));
    statusPanel->setText("員工: " + qt(e.id) + " " + qt(e.name));
    login.employeeNumber = qt(e.id);
}

// The category and employee filters. An employee who may not see every customer finds
// himself selected (and the box disabled), so each of his searches carries his own oid.
void TClientForm::loadLists() {
    category->clear();
    category->addItem(kAll);
    for (const std::string& c : wire::queryCustomerCategories(channel)) {
        category->addItem(qt(c));
    }
    category->setCurrentIndex(0);

    pageSize = wire::kCustomerPageSize;

    employee->addItem(kAll);
    int mine = 0;
    for (const wire::EmployeeRow& row : wire::queryEmployees(channel)) {
        const wire::Oid oid = qt(row.oid).toInt();
        employeeOids.push_back(oid);
        if (oid == login.employeeOid) {
            mine = employee->count();
        }
        employee->addItem(qt(row.name));
    }
    employee->setCurrentIndex(mine);
}

// ============================================================================ searching

QString TClientForm::searchCondition() const {
    QString condition;
    const auto join = [&condition](const QString& part) {
        condition = condition.isEmpty() ? part : condition + " and " + part;
    };
    if (category->currentIndex() > 0) {
        join("category.name='" + category->currentText() + "'");
    }
    if (const QString number = id->text().trimmed(); !number.isEmpty()) {
        join("id like '%" + number + "%'");
    }
    if (const QString text = name->text().trimmed(); !text.isEmpty()) {
        join("name like '%" + text + "%'");
    }
    if (const int k = employee->currentIndex(); k > 0 && k <= int(employeeOids.size())) {
        const QString e = QString::number(employeeOids[k - 1]);
        join("(employee=" + e + " or followEmployee=" + e + ")");
    }
    if (expireDate->isChecked()) {
        join("expireDate.stamp>=" + QString::number(fromDate->stamp()) +
             " and expireDate.stamp<=" + QString::number(toDate->stamp()));
    }
    return condition;
}

void TClientForm::searchButtonClick() {
    startOffset = 0;
    search();
}

void TClientForm::searchKeyPress() {
    searchButtonClick();
}

void TClientForm::previousButtonClick() {
    startOffset = std::max(0, startOffset - pageSize);
    search();
}

void TClientForm::nextButtonClick() {
    startOffset += pageSize;
    search();
}

// One page from startOffset: the labels, the paging buttons and the rows.
void TClientForm::search() {
    const wire::CustomerPage page =
        wire::queryCustomers(channel, utf8(searchCondition()), startOffset);
    // A lost link reads as an empty result rather than as a total of -2.
    const int total = page.ok ? page.total : 0;

    totalRecord->setText("總數: " + QString::number(total));
    const bool more = startOffset + pageSize < total;
    const int last = more ? startOffset + pageSize : total;
    displayRecord->setText("顯示: " + QString::number(startOffset + 1) + "-" +
                           QString::number(last));
    nextButton->setEnabled(more);
    previousButton->setEnabled(startOffset != 0);

    grid->clearToTitle();
    for (const wire::Row& row : page.rows) {
        const int r = grid->appendRow();
        for (int col = 0; col < kColumns && col < int(row.size()); ++col) {
            grid->setCells(col, r, qt(row[col]));
        }
    }
    if (grid->hasData()) {
        grid->selectRow(1);
    }
}

// ============================================================================ customers

void TClientForm::insertActionExecute() {
    if (category->count() <= 1) {
        showWarning("請先按 [設定] 鈕設定客戶類別.", this);
        return;
    }
    // The customer editor opens here once it is part of the client.
}

void TClientForm::updateActionExecute() {
    const int row = grid->topSelectedRow();
    if (row < 1) {
        showWarning("沒有選擇資料.", this);
        return;
    }
    const wire::CustomerReply reply = wire::getCustomer(channel, grid->cells(colOid, row).toInt());
    if (reply.status != wire::kStatusOk) {
        showWarning("不能更改.", this);
        return;
    }
    // The customer editor opens here on `reply` once it is part of the client.
}

void TClientForm::gridDblClick(int col, int row) {
    if (row > 0 && col > 0) {
        updateActionExecute();
    }
}

void TClientForm::deleteActionExecute() {
    const int top = grid->topSelectedRow();
    if (top < 1) {
        showWarning("沒有選擇資料.", this);
        return;
    }
    const std::vector<int> rows = grid->selectedRows();
    if (rows.size() < 2) {
        const QString customer = grid->cells(colName, top);
        if (!confirmYesNo("刪除客戶 '" + customer + "' 嗎?", this)) {
            return;
        }
        if (wire::deleteCustomer(channel, grid->cells(colOid, top).toInt()) != wire::kStatusOk) {
            showWarning("無法刪除 '" + customer, this);
            return;
        }
    } else {
        if (!confirmYesNo("刪除 " + QString::number(rows.size()) + " 個客戶嗎?", this)) {
            return;
        }
        for (int row : rows) {
            if (wire::deleteCustomer(channel, grid->cells(colOid, row).toInt()) !=
                wire::kStatusOk) {
                showWarning("無法刪除 '" + grid->cells(colName, row), this);
            }
        }
    }
    afterDeleteRefresh();
}

// The same page again; when the deletes emptied the last page, the page before it, so the
// user never faces an empty list while customers remain.
void TClientForm::afterDeleteRefresh() {
    search();
    if (!grid->hasData() && startOffset > 0) {
        previousButtonClick();
    }
}

// ============================================================================ other windows

void TClientForm::eventActionExecute() {
    if (grid->topSelectedRow() < 1) {
        showWarning("沒有選擇資料.", this);
        return;
    }
    // The event list of the selected customer opens here once it is part of the client.
}

void TClientForm::employeeActionExecute() {
    // The employee administration window opens here once it is part of the client.
}

void TClientForm::settingActionExecute() {
    // The category settings window opens here once it is part of the client.
}

void TClientForm::reportActionExecute() {
    // The report window opens here once it is part of the client.
}

void TClientForm::exportButtonClick() {
    // The customer export runs here once it is part of the client.
}

void TClientForm::ImportButtonClick() {
    // The customer import runs here once it is part of the client.
}

void TClientForm::closeActionExecute() {
    close();
}

// ============================================================================ connection

// A new socket to login.serverAddress, made the channel's socket. False (and no socket) when
// the server cannot be reached.
bool TClientForm::connectSocket() {
    socket_ = std::make_unique<win_socket>(utf8(login.serverAddress).c_str());
    // Up to five passes with pauses between them: show that the window is busy meanwhile.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool connected = socket_->connect_ms(kConnectPasses, connectPauseMs);
    QGuiApplication::restoreOverrideCursor();
    if (!connected) {
        dropSocket();
        return false;
    }
    channel.socket = socket_.get();
    return true;
}

void TClientForm::dropSocket() {
    channel.socket = nullptr;
    socket_.reset();
}

// The server refused this client's version: the updater KestUpdate in the working folder
// takes over, or the user is told to update.
void TClientForm::handOverToUpdater() {
    const QString updater = clientFolder_ + "/" + kUpdater;
    if (QFileInfo(updater).isFile() && QProcess::startDetached(updater, {}, clientFolder_)) {
        return;
    }
    showWarning("版本錯誤, 請更新版本.", this);
}

void TClientForm::reconnectButtonClick() {
    if (channel.socket) {
        wire::logout(channel);
        dropSocket();
    }
    channel.resetRequest();
    if (!connectSocket()) {
        showWarning("無法連線", this);
        return;
    }
    wire::LoginReply reply;
    const LoginOutcome outcome = sendLogin("密碼錯誤.", reply);
    if (outcome == LoginOutcome::Updater) {
        close();
        return;
    }
    if (outcome == LoginOutcome::Failed) {
        return;
    }
    showWarning("己成功連線", this);
    Timer1->start();
}

void TClientForm::Timer1Timer() {
    Timer1->setInterval(kLinkCheckMs);
    if (wire::empMsgCheck(channel, login.employeeOid)) {
        return;
    }
    dropSocket();
    Timer1->stop();
    if (confirmYesNo("斷線了, 從新連線嗎?", this)) {
        reconnectButtonClick();
    }
}

// ============================================================================ close

void TClientForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TClientForm::FormClose() {
    if (closed_) {
        return;
    }
    closed_ = true;
    Timer1->stop();
    dropSocket();
    if (store_) {
        store_->close();
    }
}
