// What the client tests share: a test folder that is the current folder while the test runs
// (clientLogin.cfg, the local store and KestUpdate live there), a kestd with a login script for
// the login dialog, and a second connection through which a test arranges data on the server
// as another user would.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <memory>
#include <ostream>

#include "client_form.h"
#include "dialog_seam.h"
#include "kestd_fixture.h"
#include "modal.h"
#include "socket.h"
#include "www_connection.h"

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{' << l.join("\", \"").prepend('"').append('"').toStdString() << '}';
}

namespace clienttest {

// A fresh temporary folder made the current folder; the previous one is restored afterwards.
class TestFolder {
  public:
    TestFolder();
    ~TestFolder();
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const;
    QByteArray read(const QString& name) const;  // empty when missing
    bool exists(const QString& name) const;

  private:
    QTemporaryDir dir_;
    QString previous_;
};

// What the user types into the login dialog, one attempt each time it is shown. `port`, when
// not 0, is typed into the server settings dialog first.
struct LoginAttempt {
    QString id;
    QString password;
    int port = 0;
};

// Answers every TLoginForm with the next attempt (and gives up when none is left) and every
// TClientSetupForm through the attempt's port. Counts how often the login dialog was shown.
class LoginScript {
  public:
    LoginScript(std::initializer_list<LoginAttempt> attempts = {});
    int loginDialogsShown = 0;
    QString lastLoginCaption;
    QString idShown, passwordShown;  // the fields as the first dialog opened

  private:
    std::deque<LoginAttempt> attempts_;
    kest::ModalHandlerScope scope_;
};

// The settings file that points the client at `server`.
QByteArray configFor(const kest::testkit::KestdServer& server);

// A logged-in connection of its own to `server` (as ADMIN unless told otherwise).
class ServerLink {
  public:
    explicit ServerLink(const kest::testkit::KestdServer& server, const QString& id = "ADMIN",
                        const QString& password = "PLOVK");
    ~ServerLink();
    bool ok() const { return loggedIn_; }
    WWWconnection channel;

  private:
    std::unique_ptr<win_socket> socket_;
    bool loggedIn_ = false;
};

// A main window that logs in to `server` as `id`/`password` through the login script.
// started() tells whether FormShow succeeded.
class LoggedInClient {
  public:
    LoggedInClient(const TestFolder& folder, const kest::testkit::KestdServer& server,
                   const QString& id = "ADMIN", const QString& password = "PLOVK");
    TClientForm form;
    bool started() const { return started_; }
    // The start selects the logged-in employee in the filter; this selects "所有" and searches.
    void showAllCustomers();

  private:
    bool started_ = false;
};

}  // namespace clienttest
