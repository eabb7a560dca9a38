// TClientForm, the main window: it logs in, shows one page of customers at a time under the
// filters of its top bar, and starts every other activity. It owns the one request channel
// and the current socket for the whole run and lends the channel to the windows it opens.
// Invariant: channel.socket is either null or the live socket_; every failed connection
// attempt drops its socket at once, and a socket is never reused after a failure.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>
#include <vector>

#include "login_state.h"
#include "protocol.h"
#include "www_connection.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QStatusBar;
class QTimer;
class LocalStore;
class TLoginForm;
class win_socket;
namespace kest {
class ActionButton;
class DatePicker;
class LineEdit;
class StringGrid;
class UpperCaseEdit;
}  // namespace kest
namespace wire {
struct LoginReply;
}  // namespace wire

class TClientForm : public QMainWindow {
    Q_OBJECT
  public:
    // `store` is the local store opened at start-up and closed on close; null runs without
    // one. The working folder is the current folder at construction: the updater KestUpdate
    // and the help page client_help/login.htm are looked up there.
    explicit TClientForm(LocalStore* store = nullptr, QWidget* parent = nullptr);
    ~TClientForm() override;

    // ---- Controls, named as the other windows and the tests know them.
    QAction* insertAction;    // "加入 F2"
    QAction* updateAction;    // "更改 F3"
    QAction* deleteAction;    // "刪除 F4"
    QAction* eventAction;     // "事項 F6"
    QAction* employeeAction;  // "員工 F7"
    QAction* settingAction;   // "設定 F8"
    QAction* reportAction;    // "報表 F9"
    QAction* closeAction;     // "關閉 F12"
    kest::ActionButton* insertButton;
    kest::ActionButton* updateButton;
    kest::ActionButton* deleteButton;
    kest::ActionButton* repairButton;  // events
    kest::ActionButton* empButton;     // employees
    kest::ActionButton* BitBtn1;       // settings
    kest::ActionButton* BitBtn2;       // reports
    kest::ActionButton* closeButton;
    QPushButton* exportButton;     // "匯出"
    QPushButton* ImportButton;     // "匯入"
    QPushButton* reconnectButton;  // "重新連線"

    QComboBox* category;  // "所有" and the customer categories in server order
    kest::UpperCaseEdit* id;
    kest::LineEdit* name;
    QComboBox* employee;  // "所有" and the employees; entry i + 1 is employeeOids[i]
    QCheckBox* expireDate;
    kest::DatePicker* fromDate;
    kest::DatePicker* toDate;
    QPushButton* searchButton;
    QPushButton* previousButton;
    QPushButton* nextButton;
    QLabel* totalRecord;
    QLabel* displayRecord;
    kest::StringGrid* grid;
    QStatusBar* StatusBar1;
    QLabel* statusPanel;  // the status bar's one panel
    QTimer* Timer1;       // the 30-second link check

    // ---- Window state.
    int startOffset = 0;  // index of the first customer shown
    int pageSize = wire::kCustomerPageSize;
    bool eventChange = false;  // permission bit 8: events may be changed
    std::vector<wire::Oid> employeeOids;
    WWWconnection channel;
    LoginState login;
    // Pause between connection passes; tests shorten it.
    int connectPauseMs = 5000;
    // Whether the first show runs FormShow; tools and tests that drive it themselves turn
    // it off.
    bool startOnFirstShow = true;

    const QString& clientFolder() const { return clientFolder_; }

    // ---- Start and end.
    // Opens the local store, logs in, loads the lists, runs the first search and starts the
    // timer. Runs once; false (and the window closed) when the program must end.
    bool FormShow();
    // Drops the socket without a Logout and commits and closes the local store.
    void FormClose();

    // ---- Searching and paging.
    // The condition text of the current filters, as the server's Query of "Customer" takes it.
    QString searchCondition() const;
    void searchButtonClick();  // searchButton, filter changes: from the first page
    void searchKeyPress();     // Enter in `id` or `name`
    void previousButtonClick();
    void nextButtonClick();

    // ---- Customers.
    void insertActionExecute();
    void updateActionExecute();
    void deleteActionExecute();
    // A double-click at a grid cell: opens the customer when both row and column are above 0.
    void gridDblClick(int col, int row);

    // ---- Other windows.
    void eventActionExecute();
    void employeeActionExecute();
    void settingActionExecute();
    void reportActionExecute();
    void exportButtonClick();
    void ImportButtonClick();
    void closeActionExecute();

    // ---- Connection.
    void reconnectButtonClick();
    void Timer1Timer();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildControls();
    bool startupLogin();
    void applyEmployee(const wire::Employee& e);
    void loadLists();
    void search();
    void afterDeleteRefresh();
    bool connectSocket();
    void dropSocket();
    void handOverToUpdater();
    enum class LoginOutcome { LoggedIn, Failed, Updater };
    LoginOutcome sendLogin(const QString& wrongPassword, wire::LoginReply& reply);

    LocalStore* store_;
    QString clientFolder_;
    QString designCaption_;
    std::unique_ptr<win_socket> socket_;
    bool started_ = false;
    bool closed_ = false;
};
