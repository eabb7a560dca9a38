// Starting and stopping a real kestd for the GUI tests. See kestd_fixture.h.
#include "kestd_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QThread>
#include <csignal>

namespace kest::testkit {

bool acceptsConnections(const QString& host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.toLatin1().constData(), &addr.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

KestdServer::KestdServer() : dir_(std::make_unique<QTemporaryDir>()) {}

KestdServer::~KestdServer() {
    stop();
}

QString KestdServer::executable() {
    const QString fromEnv = qEnvironmentVariable("KESTD");
    if (!fromEnv.isEmpty()) {
        return fromEnv;
    }
#ifdef KESTD_PATH
    return QStringLiteral(KESTD_PATH);
#else
    return QStringLiteral("kestd");
#endif
}

QString KestdServer::address() const {
    return host() + QLatin1Char(':') + QString::number(port_);
}

QString KestdServer::dbPath() const {
    return dir_->filePath(QStringLiteral("kestd-test.db"));
}

QString KestdServer::folder() const {
    return dir_->path();
}

QString KestdServer::log() const {
    if (process_) {
        // Collect what arrived since the last look.
        const_cast<KestdServer*>(this)->log_ += QString::fromUtf8(process_->readAllStandardError());
    }
    return log_;
}

bool KestdServer::running() const {
    return process_ && process_->state() == QProcess::Running;
}

bool KestdServer::start(const QStringList& extraArgs) {
    error_.clear();
    if (running()) {
        return true;
    }
    if (!dir_->isValid()) {
        error_ = QStringLiteral("no temporary folder");
        return false;
    }
    process_ = std::make_unique<QProcess>();
    process_->setProgram(executable());
    process_->setWorkingDirectory(dir_->path());
    // port 0 lets kestd pick a free port the first time; later starts reuse it.
    QStringList args{QStringLiteral("--listen"),
                     host() + QLatin1Char(':') + QString::number(port_),
                     QStringLiteral("--db"),
                     dbPath(),
                     QStringLiteral("--hash-cost"),
                     QStringLiteral("min"),
                     QStringLiteral("--login-delay-ms"),
                     QStringLiteral("0")};
    args += extraArgs;
    process_->setArguments(args);
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->setStandardOutputFile(QProcess::nullDevice());
    process_->start();
    if (!process_->waitForStarted(5000)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(executable(), process_->errorString());
        process_.reset();
        return false;
    }
    if (!waitUntilAccepting(15000)) {
        if (error_.isEmpty()) {
            error_ = QStringLiteral("kestd did not accept connections; its log:\n") + log();
        }
        stop();
        return false;
    }
    return true;
}

bool KestdServer::waitUntilAccepting(int timeoutMs) {
    // kestd logs "listening on ADDR (port N)" once its socket is bound.
    static const QRegularExpression portLine(QStringLiteral("\\(port (\\d+)\\)"));
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (process_->state() != QProcess::Running) {
            process_->waitForFinished(100);
            error_ =
                QStringLiteral("kestd exited (code %1); its log:\n").arg(process_->exitCode()) +
                log();
            return false;
        }
        if (port_ == 0) {
            process_->waitForReadyRead(50);
            const QRegularExpressionMatch m = portLine.match(log());
            if (m.hasMatch()) {
                port_ = m.captured(1).toInt();
            }
            continue;
        }
        if (acceptsConnections(host(), port_)) {
            return true;
        }
        QThread::msleep(20);
        log();
    }
    return false;
}

void KestdServer::stop() {
    if (!process_) {
        return;
    }
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(2000);
        }
    }
    log();
    process_.reset();
}

}  // namespace kest::testkit
