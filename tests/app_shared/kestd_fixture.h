// A real kestd for GUI tests: started on a free loopback port with a throw-away SQLite file in
// a temporary folder, ready (accepting connections) when start() returns, stopped by stop() or
// the destructor. The folder, and the database in it, disappear with the object.
// Invariant: while running() the server accepts on 127.0.0.1:port(); port() and dbPath() stay
// the same across stop() and start(), so a test can take the server away under an open window
// and bring the same one back.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace kest::testkit {

class KestdServer {
  public:
    KestdServer();
    ~KestdServer();
    KestdServer(const KestdServer&) = delete;
    KestdServer& operator=(const KestdServer&) = delete;

    // Starts kestd with `extraArgs` added to the test defaults (--db in the temporary folder,
    // --hash-cost min, --login-delay-ms 0; e.g. {"--demo", "60"} or {"--company", "測試"}).
    // Returns false, with the reason in error(), when it does not accept within 15 seconds.
    bool start(const QStringList& extraArgs = {});
    // Stops the server (SIGTERM, then SIGKILL after 5 seconds); the database stays.
    void stop();
    bool running() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int port() const { return port_; }
    QString address() const;  // "127.0.0.1:<port>", the login state's server address
    QString dbPath() const;   // the SQLite file
    QString folder() const;   // the temporary folder (also usable as a client folder)
    QString log() const;      // everything kestd wrote to standard error so far
    QString error() const { return error_; }

    // The kestd executable: $KESTD when set, else the one built with this tree.
    static QString executable();

  private:
    bool waitUntilAccepting(int timeoutMs);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QProcess> process_;
    int port_ = 0;
    mutable QString log_;
    QString error_;
};

// Whether a TCP connection to host:port is accepted right now.
bool acceptsConnections(const QString& host, int port);

}  // namespace kest::testkit
