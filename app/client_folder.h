// The client's working folder: where clientLogin.cfg, the local store KestCRMClient.kst, the
// updater KestUpdate and the help pages client_help/ are found. A client started in a folder
// that already holds clientLogin.cfg works there; otherwise it works in
// $XDG_DATA_HOME/kestcrm (~/.local/share/kestcrm when the variable is unset or empty).
#pragma once

#include <QString>

// The folder the client should work in, given where it was started.
QString chooseClientFolder(const QString& startFolder, const QString& xdgDataHome,
                           const QString& home);

// Chooses the folder from the current folder and the environment, creates it when missing,
// makes it the current folder and puts the help pages there when they are missing. False
// (with the reason in `error`) when the folder cannot be created or entered.
bool enterClientFolder(QString& error);

// Copies the help pages shipped with the program into `folder`/client_help, leaving pages
// that are already there untouched (a company may have written its own).
void installHelpPages(const QString& folder);
