// clientLogin.cfg: reading with its defaults, writing, and the domain-name lookup.
// Reading never fails: whatever cannot be read falls back to the defaults line by line.
#include "login_settings.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <QFile>

namespace {

constexpr qint64 kMaxLineChars = 79;

// One line without its line break, at most 79 characters; the rest of a longer line is
// skipped so the next read starts at the next line.
QString readLine(QFile& file) {
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r')) {
        line.chop(1);
    }
    return QString::fromUtf8(line.left(kMaxLineChars));
}

}  // namespace

LoginSettings readLoginSettings(const QString& path) {
    LoginSettings settings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return settings;
    }
    settings.fromFile = true;
    settings.serverIp = readLine(file);
    settings.domainName = readLine(file);
    if (!settings.domainName.trimmed().isEmpty()) {
        if (std::optional<QString> ip = lookupDomain(settings.domainName)) {
            settings.serverIp = *ip;
        }
    }
    bool ok = false;
    const int port = readLine(file).trimmed().toInt(&ok);
    settings.port = ok ? port : kDefaultServerPort;
    return settings;
}

bool writeLoginSettings(const LoginSettings& settings, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    const QByteArray text = settings.serverIp.toUtf8() + '\n' + settings.domainName.toUtf8() +
                            '\n' + QByteArray::number(settings.port) + '\n';
    return file.write(text) == text.size() && file.flush();
}

std::optional<QString> lookupDomain(const QString& domain) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(domain.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
    freeaddrinfo(found);
    if (!ok) {
        return std::nullopt;
    }
    return QString::fromLatin1(text);
}
