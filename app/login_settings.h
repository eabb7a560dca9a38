// The server settings the login dialog edits and the file clientLogin.cfg that keeps them.
// The file lives in the client's working folder and holds three lines: the server address,
// the domain name (empty when none) and the port in decimal. Passwords are never stored.
#pragma once

#include <QString>
#include <optional>

inline constexpr const char* kLoginSettingsFile = "clientLogin.cfg";
inline constexpr const char* kDefaultServerIp = "127.0.0.1";
inline constexpr int kDefaultServerPort = 8001;

struct LoginSettings {
    QString serverIp = kDefaultServerIp;
    QString domainName;
    int port = kDefaultServerPort;
    bool fromFile = false;  // false: the file could not be read and the defaults apply
};

// Reads `path` (normally clientLogin.cfg in the current folder). Lines are cut at 79
// characters; a missing or non-numeric third line gives port 8001. When the domain name is
// not blank it is looked up and, when it resolves, its address replaces line 1.
LoginSettings readLoginSettings(const QString& path = kLoginSettingsFile);

// Rewrites `path` with the three lines. False when the file cannot be written (the login
// goes on regardless; the settings are simply not kept).
bool writeLoginSettings(const LoginSettings& settings, const QString& path = kLoginSettingsFile);

// The first IPv4 address `domain` resolves to, as dotted text; none when it does not resolve.
std::optional<QString> lookupDomain(const QString& domain);
