// kestshots: renders every window of the client to PNG files, so a person can look at what
// users see without a desktop: the login dialog, the server settings dialog, the main window
// filled with demo data from a real kestd started with --demo, and the warning, question and
// input dialogs. Usage: kestshots [output folder] (default: the tree's docs/screenshots).
// Runs on the offscreen Qt platform unless QT_QPA_PLATFORM names another.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>

#include "client_form.h"
#include "client_setup_form.h"
#include "dialog_seam.h"
#include "dialogs.h"
#include "kestd_fixture.h"
#include "login_form.h"
#include "modal.h"
#include "render.h"
#include "shared/client_font.h"
#include "shared/line_edit.h"
#include "shared/string_grid.h"

namespace {

QString outputFolder(int argc, char** argv) {
    if (argc > 1) {
        return QString::fromLocal8Bit(argv[1]);
    }
    return QStringLiteral(KEST_SOURCE_DIR "/docs/screenshots");
}

bool shot(QWidget& widget, const QString& folder, const char* file) {
    const QString path = QDir(folder).filePath(file);
    const bool ok = kest::renderWindowToPng(&widget, path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    applyClientFont(app);
    const QString out = outputFolder(argc, argv);

    // A throw-away working folder: no clientLogin.cfg, so the login offers the first account.
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    kest::testkit::KestdServer server;
    if (!server.start({"--demo", "60", "--company", "示範公司"})) {
        std::fprintf(stderr, "kestshots: %s\n", qPrintable(server.error()));
        return 1;
    }
    bool ok = true;

    // The login dialog as the start-up shows it, then the server settings from its button.
    TClientForm form;
    form.startOnFirstShow = false;
    form.resize(1024, 700);
    {
        TLoginForm login(work.path(), &form);
        login.setWindowTitle(form.windowTitle());
        ok &= shot(login, out, "login.png");

        TClientSetupForm setup(work.path(), &login);
        setup.ip->setText("127.0.0.1");
        setup.port->setText("8001");
        ok &= shot(setup, out, "server_settings.png");
    }

    // The main window after logging in as ADMIN to the demo server.
    {
        kest::ModalHandlerScope answer([&server](QDialog& dialog) {
            auto* login = qobject_cast<TLoginForm*>(&dialog);
            if (!login) {
                return int(kest::mrCancel);
            }
            login->settings.port = server.port();
            login->loginActionExecute();
            return login->result();
        });
        if (!form.FormShow()) {
            std::fprintf(stderr, "kestshots: the demo login failed\n");
            return 1;
        }
    }
    // Every customer, not only ADMIN's own (the demo customers belong to other employees).
    form.employee->setCurrentIndex(0);
    form.searchButtonClick();
    form.grid->selectRow(1);
    form.grid->setRowSelected(3, true);
    ok &= shot(form, out, "main_window.png");

    // The three dialogs, as the windows use them.
    {
        kest::DialogScript script;
        const char* next = nullptr;
        script.onForm = [&](QDialog& dialog) { ok &= shot(dialog, out, next); };
        next = "warning.png";
        showWarning("無法連線", &form);
        next = "question.png";
        script.answerNo();
        confirmYesNo("刪除客戶 '" + form.grid->cells(3, 1) + "' 嗎?", &form);
        next = "input.png";
        script.cancelInput();
        QString text = "UpperCase";
        inputString("請輸入客戶類別名稱:", text, &form);
    }
    form.close();
    return ok ? 0 : 1;
}
