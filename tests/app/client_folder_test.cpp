// Where the client works: the start folder when it holds clientLogin.cfg, otherwise
// $XDG_DATA_HOME/kestcrm (or ~/.local/share/kestcrm).
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "client_folder.h"

namespace {

TEST(ClientFolder, AFolderWithTheSettingsFileIsKept) {
    QTemporaryDir start;
    QFile cfg(start.filePath("clientLogin.cfg"));
    ASSERT_TRUE(cfg.open(QIODevice::WriteOnly));
    cfg.close();
    EXPECT_EQ(chooseClientFolder(start.path(), "/data", "/home/u"), start.path());
}

TEST(ClientFolder, OtherwiseTheUsersDataFolder) {
    QTemporaryDir start;
    EXPECT_EQ(chooseClientFolder(start.path(), "/data", "/home/u"), "/data/kestcrm");
    EXPECT_EQ(chooseClientFolder(start.path(), "", "/home/u"), "/home/u/.local/share/kestcrm");
    // A relative XDG_DATA_HOME is invalid and ignored.
    EXPECT_EQ(chooseClientFolder(start.path(), "rel", "/home/u"), "/home/u/.local/share/kestcrm");
}

TEST(ClientFolder, EnteringCreatesTheFolderAndMakesItCurrent) {
    QTemporaryDir start, data;
    const QString previous = QDir::currentPath();
    const QByteArray previousXdg = qgetenv("XDG_DATA_HOME");
    QDir::setCurrent(start.path());
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    QString error;
    const bool entered = enterClientFolder(error);
    const QString now = QDir::currentPath();
    QDir::setCurrent(previous);
    qputenv("XDG_DATA_HOME", previousXdg);
    ASSERT_TRUE(entered) << qPrintable(error);
    EXPECT_EQ(now, QDir(data.path()).filePath("kestcrm"));
}

}  // namespace
