// The login: clientLogin.cfg and its defaults, the login dialog's checks, every branch of the
// start-up login against a real kestd, the version hand-off to KestUpdate, and reconnection.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "client_setup_form.h"
#include "client_test_support.h"
#include "gui_testkit.h"
#include "login_form.h"
#include "login_settings.h"
#include "shared/action_button.h"
#include "shared/line_edit.h"

using clienttest::LoggedInClient;
using clienttest::LoginScript;
using clienttest::TestFolder;
using kest::DialogScript;
using kest::testkit::KestdServer;

namespace {

// ---------------------------------------------------------------- clientLogin.cfg

struct SettingsCase {
    const char* name;
    const char* file;  // null: no file
    const char* ip;
    const char* domain;
    int port;
};

class SettingsFile : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsFile, ReadsAsTheLoginDialogExpects) {
    TestFolder folder;
    const SettingsCase& c = GetParam();
    if (c.file) {
        folder.write("clientLogin.cfg", c.file);
    }
    const LoginSettings s = readLoginSettings();
    EXPECT_EQ(s.serverIp, c.ip);
    EXPECT_EQ(s.domainName, c.domain);
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(s.fromFile, c.file != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFile,
    ::testing::Values(
        SettingsCase{"NoFile", nullptr, "127.0.0.1", "", 8001},
        SettingsCase{"ThreeLines", "10.1.2.3\n\n9000\n", "10.1.2.3", "", 9000},
        SettingsCase{"TwoLines", "10.1.2.3\n\n", "10.1.2.3", "", 8001},
        SettingsCase{"PortNotANumber", "10.1.2.3\n\nabc\n", "10.1.2.3", "", 8001},
        SettingsCase{"WindowsLineEnds", "10.1.2.3\r\n\r\n9001\r\n", "10.1.2.3", "", 9001},
        SettingsCase{"DomainResolvesAndWins", "10.1.2.3\nlocalhost\n9002\n", "127.0.0.1",
                     "localhost", 9002},
        SettingsCase{"DomainThatDoesNotResolveKeepsLine1", "10.1.2.3\nno-such-host.invalid\n9003\n",
                     "10.1.2.3", "no-such-host.invalid", 9003},
        SettingsCase{"LinesCutAt79",
                     "0123456789012345678901234567890123456789012345678901234567890123456789"
                     "0123456789TAIL\n\n9004\n",
                     "0123456789012345678901234567890123456789012345678901234567890123456789"
                     "012345678",
                     "", 9004}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFileWrite, WritesThreeLinesAndReadsThemBack) {
    TestFolder folder;
    LoginSettings s;
    s.serverIp = "192.168.7.8";
    s.domainName = "";
    s.port = 8123;
    ASSERT_TRUE(writeLoginSettings(s));
    EXPECT_EQ(folder.read("clientLogin.cfg"), "192.168.7.8\n\n8123\n");
    EXPECT_EQ(readLoginSettings().port, 8123);
}

// ---------------------------------------------------------------- the dialogs

TEST(LoginDialog, WithoutTheFileOffersTheFirstAccount) {
    TestFolder folder;
    TLoginForm dialog(folder.path());
    EXPECT_EQ(dialog.id->text(), "ADMIN");
    EXPECT_EQ(dialog.password->text(), "PLOVK");
    EXPECT_EQ(dialog.password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.login->text(), "登入 F4");
    EXPECT_EQ(dialog.cancel->text(), "離開 Esc");
    EXPECT_EQ(dialog.serverButton->text(), "伺服器設定");
}

TEST(LoginDialog, WithTheFileStartsWithEmptyFields) {
    TestFolder folder;
    folder.write("clientLogin.cfg", "10.0.0.1\n\n8001\n");
    TLoginForm dialog(folder.path());
    EXPECT_EQ(dialog.id->text(), "");
    EXPECT_EQ(dialog.password->text(), "");
}

TEST(LoginDialog, BlankEmployeeNumberIsRefusedAndTheFileKept) {
    TestFolder folder;
    folder.write("clientLogin.cfg", "10.0.0.1\n\n");
    TLoginForm dialog(folder.path());
    DialogScript script;
    dialog.id->setText("   ");
    dialog.password->setText("X");
    dialog.loginActionExecute();
    EXPECT_EQ(script.warnings(), QStringList{"請輸入員工編號."});
    EXPECT_NE(dialog.result(), kest::mrOk);
    EXPECT_EQ(folder.read("clientLogin.cfg"), "10.0.0.1\n\n");
}

TEST(LoginDialog, EnterInTheNumberMovesOnAndEnterInThePasswordLogsIn) {
    TestFolder folder;
    TLoginForm dialog(folder.path());
    ASSERT_TRUE(kest::testkit::showActive(dialog));
    dialog.id->setFocus();
    QTest::keyClick(dialog.id, Qt::Key_Return);
    EXPECT_TRUE(dialog.password->hasFocus());
    QTest::keyClick(dialog.password, Qt::Key_Return);
    EXPECT_EQ(dialog.result(), kest::mrOk);
    EXPECT_EQ(folder.read("clientLogin.cfg"), "127.0.0.1\n\n8001\n");
}

TEST(LoginDialog, F4LogsInAndEscGivesUp) {
    TestFolder folder;
    {
        TLoginForm dialog(folder.path());
        ASSERT_TRUE(kest::testkit::showActive(dialog));
        QTest::keyClick(&dialog, Qt::Key_F4);
        EXPECT_EQ(dialog.result(), kest::mrOk);
    }
    {
        TLoginForm dialog(folder.path());
        ASSERT_TRUE(kest::testkit::showActive(dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_EQ(dialog.result(), kest::mrCancel);
    }
}

TEST(ServerSettingsDialog, OkCopiesTheFieldsAndCancelKeepsTheOldOnes) {
    TestFolder folder;
    TLoginForm dialog(folder.path());
    {
        kest::ModalHandlerScope answer([](QDialog& d) {
            auto& setup = dynamic_cast<TClientSetupForm&>(d);
            EXPECT_EQ(setup.ip->text(), "127.0.0.1");
            EXPECT_EQ(setup.port->text(), "8001");
            setup.ip->setText("10.9.8.7");
            setup.port->setText("8555");
            setup.saveActionExecute();
            return setup.result();
        });
        dialog.serverButtonClick();
    }
    EXPECT_EQ(dialog.settings.serverIp, "10.9.8.7");
    EXPECT_EQ(dialog.settings.port, 8555);
    {
        kest::ModalHandlerScope answer([](QDialog& d) {
            auto& setup = dynamic_cast<TClientSetupForm&>(d);
            setup.ip->setText("1.1.1.1");
            setup.cancelActionExecute();
            return setup.result();
        });
        dialog.serverButtonClick();
    }
    EXPECT_EQ(dialog.settings.serverIp, "10.9.8.7");
}

TEST(ServerSettingsDialog, DomainLookupFillsTheAddressAndAnUnknownNameChangesNothing) {
    TestFolder folder;
    TClientSetupForm setup(folder.path());
    setup.ip->setText("10.0.0.5");
    setup.domain->setText("no-such-host.invalid");
    setup.domainKeyPress();
    EXPECT_EQ(setup.ip->text(), "10.0.0.5");
    setup.domain->setText("localhost");
    setup.domainKeyPress();
    EXPECT_EQ(setup.ip->text(), "127.0.0.1");
}

// Stands in for the desktop's handler of local files.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> seen;
  public slots:
    void open(const QUrl& url) { seen.append(url); }
};

TEST(ServerSettingsDialog, HelpOpensTheLoginPageOnlyWhenItExists) {
    TestFolder folder;
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    TClientSetupForm setup(folder.path());
    setup.helpActionExecute();
    EXPECT_TRUE(catcher.seen.isEmpty());

    QDir(folder.path()).mkpath("client_help");
    folder.write("client_help/login.htm", "<html></html>");
    setup.helpActionExecute();
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(catcher.seen.size(), 1);
    EXPECT_EQ(catcher.seen[0], QUrl::fromLocalFile(folder.file("client_help/login.htm")));
}

// ---------------------------------------------------------------- the start-up login

class StartupLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--company", "測試公司"})) << qPrintable(server.error());
    }
    TestFolder folder;
    KestdServer server;
};

TEST_F(StartupLogin, WithoutAFileLogsInAsAdminAndWritesTheFile) {
    TClientForm form;
    form.connectPauseMs = 10;
    DialogScript dialogs;
    // The user keeps the offered account and only points the client at the test server.
    LoginScript login{{"ADMIN", "PLOVK", server.port()}};
    ASSERT_TRUE(form.FormShow());
    EXPECT_EQ(login.idShown, "ADMIN");
    EXPECT_EQ(login.passwordShown, "PLOVK");
    EXPECT_EQ(folder.read("clientLogin.cfg"),
              "127.0.0.1\n\n" + QByteArray::number(server.port()) + "\n");
    EXPECT_TRUE(dialogs.warnings().isEmpty());
    EXPECT_EQ(form.login.serverAddress, server.address());
}

TEST_F(StartupLogin, CaptionCarriesVersionAndCompanyAndTheLoginDialogShowsIt) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    EXPECT_EQ(client.form.windowTitle(), "KestDB客戶管理系統 (2016.10) 註冊公司: 測試公司");
    EXPECT_EQ(client.form.statusPanel->text(),
              "員工: ADMIN " + QString::fromStdString(client.form.login.employee.name));
    EXPECT_EQ(client.form.login.employeeNumber, "ADMIN");
    EXPECT_NE(client.form.login.employeeOid, 0);
}

TEST_F(StartupLogin, WrongPasswordThenRightPassword) {
    folder.write("clientLogin.cfg", clienttest::configFor(server));
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "WRONG"}, {"ADMIN", "PLOVK"}};
    ASSERT_TRUE(form.FormShow());
    EXPECT_EQ(login.loginDialogsShown, 2);
    EXPECT_EQ(dialogs.warnings(), QStringList{"密碼錯誤"});
    EXPECT_EQ(login.lastLoginCaption, "KestDB客戶管理系統 (2016.10)");
    EXPECT_EQ(form.login.loginPassword, "PLOVK");
}

TEST_F(StartupLogin, GivingUpEndsTheStart) {
    folder.write("clientLogin.cfg", clienttest::configFor(server));
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{};
    EXPECT_FALSE(form.FormShow());
    EXPECT_EQ(form.channel.socket, nullptr);
}

TEST_F(StartupLogin, NoServerAtTheAddressAsksAgain) {
    KestdServer gone;
    ASSERT_TRUE(gone.start());
    const int deadPort = gone.port();
    gone.stop();
    folder.write("clientLogin.cfg", "127.0.0.1\n\n" + QByteArray::number(deadPort) + "\n");
    TClientForm form;
    form.connectPauseMs = 10;
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "PLOVK"}, {"ADMIN", "PLOVK", server.port()}};
    ASSERT_TRUE(form.FormShow());
    EXPECT_EQ(dialogs.warnings(), QStringList{"無法連線"});
    EXPECT_EQ(login.loginDialogsShown, 2);
}

TEST_F(StartupLogin, BlankEmployeeNumberDoesNotWriteTheFile) {
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{{"  ", "PLOVK"}};
    EXPECT_FALSE(form.FormShow());
    EXPECT_EQ(dialogs.warnings(), QStringList{"請輸入員工編號."});
    EXPECT_FALSE(folder.exists("clientLogin.cfg"));
}

// ---------------------------------------------------------------- a refused version

class RefusedVersion : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--accept-version", "11"})) << qPrintable(server.error());
        folder.write("clientLogin.cfg", clienttest::configFor(server));
    }
    TestFolder folder;
    KestdServer server;
};

TEST_F(RefusedVersion, WithoutTheUpdaterTellsTheUserAndEnds) {
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "PLOVK"}};
    EXPECT_FALSE(form.FormShow());
    EXPECT_EQ(dialogs.warnings(), QStringList{"版本錯誤, 請更新版本."});
    EXPECT_EQ(form.channel.socket, nullptr);
}

TEST_F(RefusedVersion, WithTheUpdaterHandsOverSilently) {
    folder.write("KestUpdate", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/updater-ran\"\n");
    QFile::setPermissions(folder.file("KestUpdate"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "PLOVK"}};
    EXPECT_FALSE(form.FormShow());
    EXPECT_TRUE(dialogs.warnings().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(folder.exists("updater-ran"), 10000);
}

TEST_F(RefusedVersion, AnUpdaterThatCannotStartIsReportedAsMissing) {
    folder.write("KestUpdate", "not a program");  // present, but not executable
    TClientForm form;
    DialogScript dialogs;
    LoginScript login{{"ADMIN", "PLOVK"}};
    EXPECT_FALSE(form.FormShow());
    EXPECT_EQ(dialogs.warnings(), QStringList{"版本錯誤, 請更新版本."});
}

// ---------------------------------------------------------------- reconnection

class Reconnect : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start()) << qPrintable(server.error()); }
    TestFolder folder;
    KestdServer server;
};

TEST_F(Reconnect, SucceedsOnALiveConnectionAndRestartsTheTimer) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    client.form.Timer1->stop();
    DialogScript dialogs;
    client.form.reconnectButtonClick();
    EXPECT_EQ(dialogs.warnings(), QStringList{"己成功連線"});
    EXPECT_NE(client.form.channel.socket, nullptr);
    EXPECT_TRUE(client.form.Timer1->isActive());
    // The old connection was logged out first; the new one carries requests.
    QTRY_VERIFY_WITH_TIMEOUT(server.log().contains("logout "), 5000);
    client.form.searchButtonClick();
    EXPECT_EQ(client.form.totalRecord->text(), "總數: 0");
}

TEST_F(Reconnect, ARefusedVersionEndsTheProgram) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    server.stop();
    ASSERT_TRUE(server.start({"--accept-version", "11"})) << qPrintable(server.error());
    DialogScript dialogs;
    client.form.reconnectButtonClick();
    EXPECT_EQ(dialogs.warnings(), QStringList{"版本錯誤, 請更新版本."});
    EXPECT_EQ(client.form.channel.socket, nullptr);
    EXPECT_FALSE(client.form.Timer1->isActive());  // closed: FormClose ran
}

TEST_F(Reconnect, WrongPasswordLeavesNoConnection) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    client.form.login.loginPassword = "CHANGED";
    DialogScript dialogs;
    client.form.reconnectButtonClick();
    EXPECT_EQ(dialogs.warnings(), QStringList{"密碼錯誤."});
    EXPECT_EQ(client.form.channel.socket, nullptr);
}

TEST_F(Reconnect, NoServerSaysSoAndKeepsTheLoginState) {
    LoggedInClient client(folder, server);
    ASSERT_TRUE(client.started());
    server.stop();
    DialogScript dialogs;
    client.form.reconnectButtonClick();
    EXPECT_EQ(dialogs.warnings(), QStringList{"無法連線"});
    EXPECT_EQ(client.form.channel.socket, nullptr);
    EXPECT_EQ(client.form.login.loginId, "ADMIN");
}

}  // namespace

#include "login_test.moc"
