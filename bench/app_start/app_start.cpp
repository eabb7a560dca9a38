// The client's start: from the top of main() to the main window showing the first page of
// customers (the login answered by a script, the local store opened in a fresh folder), and
// the resident memory right after that first search.
//
//   app_start_bench [runs] [customers]     (defaults: 10 runs, 5000 demo customers)
//
// The parent starts kestd --demo <customers> and runs itself `runs` times as a child, each a
// fresh process, as a user's start is. Every child reports its in-process time and its VmRSS;
// the parent also times each child from spawn to exit (dynamic loading included).
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "client_form.h"
#include "kestd_fixture.h"
#include "local_store.h"
#include "login_form.h"
#include "modal.h"
#include "requests.h"
#include "shared/client_font.h"
#include "shared/line_edit.h"
#include "shared/string_grid.h"
#include "socket.h"
#include "www_connection.h"

namespace {

long residentKiB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').front().toLong();
        }
    }
    return -1;
}

// A demo employee (password DEMO) who has customers of his own: ADMIN's first page is filtered
// to ADMIN, who owns none of the demo customers.
std::string demoEmployee(const kest::testkit::KestdServer& server) {
    win_socket socket(server.address().toStdString().c_str());
    if (!socket.connect_ms(1, 10)) {
        return {};
    }
    WWWconnection channel;
    channel.socket = &socket;
    std::string id;
    if (wire::login(channel, "ADMIN", "PLOVK").status >= wire::kStatusOk) {
        for (const wire::EmployeeRow& row : wire::queryEmployees(channel)) {
            if (row.id != "ADMIN") {
                id = row.id;
                break;
            }
        }
    }
    channel.socket = nullptr;
    return id;
}

// One start, in this process. Prints "<ms> <rss KiB> <rows>".
int child(int argc, char** argv, int port, const QString& employeeId, QElapsedTimer& sinceMain) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    applyClientFont(app);
    QFile cfg("clientLogin.cfg");
    if (cfg.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        cfg.write("127.0.0.1\n\n" + QByteArray::number(port) + "\n");
        cfg.close();
    }
    kest::ModalHandlerScope login([&employeeId](QDialog& dialog) {
        auto* form = qobject_cast<TLoginForm*>(&dialog);
        if (!form) {
            return int(kest::mrCancel);
        }
        form->id->setText(employeeId);
        form->password->setText("DEMO");
        form->loginActionExecute();
        return form->result();
    });
    KestdbLocalStore store;
    TClientForm form(&store);
    form.resize(1024, 700);
    const bool started = form.FormShow();
    const qint64 ms = sinceMain.elapsed();
    const long rss = residentKiB();
    std::printf("%lld %ld %d\n", static_cast<long long>(ms), rss, form.grid->dataRowCount());
    form.close();
    return started ? 0 : 1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    if (argc == 4 && std::string(argv[1]) == "--child") {
        return child(1, argv, std::atoi(argv[2]), QString::fromUtf8(argv[3]), sinceMain);
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    const int customers = argc > 2 ? std::atoi(argv[2]) : 5000;

    QCoreApplication core(argc, argv);
    kest::testkit::KestdServer server;
    if (!server.start({"--demo", QString::number(customers)})) {
        std::fprintf(stderr, "app_start_bench: %s\n", qPrintable(server.error()));
        return 1;
    }
    const std::string employeeId = demoEmployee(server);
    if (employeeId.empty()) {
        std::fprintf(stderr, "app_start_bench: no demo employee on the server\n");
        return 1;
    }
    QTemporaryDir folder;  // the client's working folder: clientLogin.cfg and the local store

    std::vector<double> inProcess, wall, rssMiB;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setWorkingDirectory(folder.path());
        p.setProgram(QCoreApplication::applicationFilePath());
        p.setArguments(
            {"--child", QString::number(server.port()), QString::fromStdString(employeeId)});
        QElapsedTimer t;
        t.start();
        p.start();
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            std::fprintf(stderr, "app_start_bench: run %d failed: %s\n", i,
                         p.readAllStandardError().constData());
            return 1;
        }
        wall.push_back(t.elapsed());
        const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
        if (f.size() != 3 || f[2].toInt() != 25) {
            std::fprintf(stderr, "app_start_bench: run %d did not fill the list\n", i);
            return 1;
        }
        inProcess.push_back(f[0].toDouble());
        rssMiB.push_back(f[1].toDouble() / 1024.0);
    }
    std::printf("kestcrm start to a filled list (%d customers on the server, %d runs)\n", customers,
                runs);
    std::printf("  main() to first page:   median %.0f ms, max %.0f ms\n", median(inProcess),
                *std::max_element(inProcess.begin(), inProcess.end()));
    std::printf("  spawn to exit:          median %.0f ms, max %.0f ms\n", median(wall),
                *std::max_element(wall.begin(), wall.end()));
    std::printf("  resident after search:  median %.1f MiB, max %.1f MiB\n", median(rssMiB),
                *std::max_element(rssMiB.begin(), rssMiB.end()));
    return 0;
}
