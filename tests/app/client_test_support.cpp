// Shared fixtures of the client tests.
#include "client_test_support.h"

#include <QComboBox>
#include <QDir>
#include <QFile>

#include "client_setup_form.h"
#include "login_form.h"
#include "requests.h"
#include "shared/line_edit.h"

namespace clienttest {

TestFolder::TestFolder() : previous_(QDir::currentPath()) {
    QDir::setCurrent(dir_.path());
}

TestFolder::~TestFolder() {
    QDir::setCurrent(previous_);
}

void TestFolder::write(const QString& name, const QByteArray& bytes) const {
    QFile f(file(name));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(bytes);
    }
}

QByteArray TestFolder::read(const QString& name) const {
    QFile f(file(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool TestFolder::exists(const QString& name) const {
    return QFile::exists(file(name));
}

LoginScript::LoginScript(std::initializer_list<LoginAttempt> attempts)
    : attempts_(attempts), scope_([this](QDialog& dialog) -> int {
          if (auto* setup = qobject_cast<TClientSetupForm*>(&dialog)) {
              setup->port->setText(QString::number(attempts_.front().port));
              setup->saveActionExecute();
              return setup->result();
          }
          auto* login = qobject_cast<TLoginForm*>(&dialog);
          if (!login) {
              return kest::mrCancel;
          }
          if (loginDialogsShown++ == 0) {
              idShown = login->id->text();
              passwordShown = login->password->text();
          }
          lastLoginCaption = login->windowTitle();
          if (attempts_.empty()) {
              login->exitActionExecute();
              return login->result();
          }
          if (attempts_.front().port != 0) {
              login->serverButtonClick();
          }
          const LoginAttempt attempt = attempts_.front();
          attempts_.pop_front();
          login->setResult(0);
          login->id->setText(attempt.id);
          login->password->setText(attempt.password);
          login->loginActionExecute();
          return login->result();
      }) {}

QByteArray configFor(const kest::testkit::KestdServer& server) {
    return "127.0.0.1\n\n" + QByteArray::number(server.port()) + "\n";
}

ServerLink::ServerLink(const kest::testkit::KestdServer& server, const QString& id,
                       const QString& password)
    : socket_(std::make_unique<win_socket>(server.address().toUtf8().constData())) {
    if (!socket_->connect_ms(1, 10)) {
        return;
    }
    channel.socket = socket_.get();
    const wire::LoginReply reply = wire::login(channel, id.toStdString(), password.toStdString());
    loggedIn_ = reply.status >= wire::kStatusOk;
}

ServerLink::~ServerLink() {
    channel.socket = nullptr;
}

LoggedInClient::LoggedInClient(const TestFolder& folder, const kest::testkit::KestdServer& server,
                               const QString& id, const QString& password) {
    folder.write("clientLogin.cfg", configFor(server));
    form.connectPauseMs = 10;
    LoginScript script{{id, password}};
    started_ = form.FormShow();
}

void LoggedInClient::showAllCustomers() {
    form.employee->setCurrentIndex(0);
    form.searchButtonClick();
}

}  // namespace clienttest
