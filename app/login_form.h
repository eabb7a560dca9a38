// TLoginForm, the login dialog: employee number and password, and the way to the server
// settings. It reads clientLogin.cfg when it is built and rewrites it when the user logs in,
// so the server settings survive; the employee number and password are never written.
#pragma once

#include <QDialog>
#include <QString>

#include "login_settings.h"

class QAction;
class QLabel;
class QPushButton;
namespace kest {
class UpperCaseEdit;
}

class TLoginForm : public QDialog {
    Q_OBJECT
  public:
    // Reads clientLogin.cfg from the current folder; `clientFolder` is where the settings
    // dialog finds its help page.
    explicit TLoginForm(const QString& clientFolder, QWidget* owner = nullptr);

    kest::UpperCaseEdit* id;
    kest::UpperCaseEdit* password;
    QPushButton* serverButton;
    QPushButton* login;
    QPushButton* cancel;
    QLabel* Image1;
    QAction* loginAction;
    QAction* exitAction;

    // The server settings as read from the file or edited in the settings dialog.
    LoginSettings settings;

    // F4 / Enter in `password`: a blank employee number is refused with "請輸入員工編號.";
    // otherwise clientLogin.cfg is rewritten and the dialog closes with OK.
    void loginActionExecute();
    // Esc: closes without logging in.
    void exitActionExecute();
    // Opens the server settings dialog on the current settings and keeps them on OK.
    void serverButtonClick();

  private:
    QString clientFolder_;
};
