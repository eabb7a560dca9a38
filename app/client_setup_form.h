// TClientSetupForm, the server settings dialog "伺服器設定": the server's address, an
// optional domain name that is looked up to an address, and the port. It edits only its own
// fields; the login dialog copies them in before and out after an OK.
#pragma once

#include <QDialog>
#include <QString>

class QAction;
class QLabel;
class QLineEdit;
class QPushButton;

class TClientSetupForm : public QDialog {
    Q_OBJECT
  public:
    // `clientFolder` is where client_help/login.htm is looked up.
    explicit TClientSetupForm(const QString& clientFolder, QWidget* owner = nullptr);

    QLabel* Label3;
    QLineEdit* domain;
    QLineEdit* ip;
    QLineEdit* port;
    QPushButton* YesButton;
    QPushButton* NoButton;
    QAction* saveAction;
    QAction* cancelAction;
    QAction* helpAction;

    // Enter in `domain`: a blank domain moves the focus to `ip`; a domain that resolves puts
    // its first IPv4 address into `ip` (focused and selected when the dialog is on screen);
    // one that does not resolve changes nothing.
    void domainKeyPress();
    void saveActionExecute();    // F2: close with OK
    void cancelActionExecute();  // Esc: close with Cancel
    // F1: opens client_help/login.htm with the desktop's handler, when the page exists.
    void helpActionExecute();

  private:
    QString clientFolder_;
};
