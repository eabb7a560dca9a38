// Choosing, creating and entering the client's working folder.
#include "client_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "login_settings.h"

QString chooseClientFolder(const QString& startFolder, const QString& xdgDataHome,
                           const QString& home) {
    if (QFileInfo(QDir(startFolder).filePath(kLoginSettingsFile)).isFile()) {
        return startFolder;
    }
    // An XDG base directory must be absolute; a relative value is ignored.
    const QString base = !xdgDataHome.isEmpty() && QDir::isAbsolutePath(xdgDataHome)
                             ? xdgDataHome
                             : QDir(home).filePath(".local/share");
    return QDir(base).filePath("kestcrm");
}

bool enterClientFolder(QString& error) {
    const QString folder = chooseClientFolder(
        QDir::currentPath(), qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath());
    if (!QDir().mkpath(folder)) {
        error = "cannot create " + folder;
        return false;
    }
    if (!QDir::setCurrent(folder)) {
        error = "cannot enter " + folder;
        return false;
    }
    installHelpPages(folder);
    return true;
}

void installHelpPages(const QString& folder) {
    const QString target = QDir(folder).filePath("client_help");
    QDirIterator pages(":/client_help", QDir::Files);
    while (pages.hasNext()) {
        const QString page = pages.next();
        const QString copy = QDir(target).filePath(QFileInfo(page).fileName());
        if (QFileInfo::exists(copy) || !QDir().mkpath(target)) {
            continue;
        }
        if (QFile::copy(page, copy)) {
            // Resource files come out read-only; the user may edit his copy.
            QFile::setPermissions(copy, QFile::permissions(copy) | QFile::WriteOwner);
        }
    }
}
