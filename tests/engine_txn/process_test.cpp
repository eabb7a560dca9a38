// Two processes on one store: readers share, a writer waits for the readers, a second reader
// asking to upgrade gets code 7, and a process killed while it holds the shared or the
// exclusive lock never blocks the next opener. Children talk to the parent through a pipe and
// are stopped by an alarm if anything hangs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "cursor.h"
#include "database.h"
#include "integrity.h"
#include "txn_fixture.h"
#include "txn_records.h"

using txntest::TempDir;
using txntest::uniqueName;

namespace {

int hearFd = -1;  // in a child: the parent's messages

// Waits for the parent's next byte.
char hear() {
    char c = 0;
    return read(hearFd, &c, 1) == 1 ? c : 0;
}

// A forked child running `body`, reporting single bytes to the parent and hearing from it.
class Child {
  public:
    explicit Child(const std::function<int(int writeFd)>& body) {
        int up[2];
        int down[2];
        if (pipe(up) != 0 || pipe(down) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(up[0]);
            close(down[1]);
            hearFd = down[0];
            alarm(60);  // never outlive a hung test
            const int rc = body(up[1]);
            _exit(rc);
        }
        close(up[1]);
        close(down[0]);
        readFd = up[0];
        tellFd = down[1];
    }
    void tell(char c) { (void)!write(tellFd, &c, 1); }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (readFd >= 0) {
            close(readFd);
        }
        if (tellFd >= 0) {
            close(tellFd);
        }
    }
    // The next byte from the child, or -1 when none comes within `ms`.
    int next(int ms = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(readFd, &set);
            timeval tv{0, 20000};
            if (select(readFd + 1, &set, nullptr, nullptr, &tv) > 0) {
                char c;
                return read(readFd, &c, 1) == 1 ? c : -1;
            }
        }
        return -1;
    }
    int wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void killNow() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

  private:
    pid_t pid = -1;
    int readFd = -1;
    int tellFd = -1;
};

void say(int fd, char c) {
    (void)!write(fd, &c, 1);
}

class TwoProcesses : public ::testing::Test {
  protected:
    TempDir dir;
    std::string name = uniqueName("proc");
    std::string file = dir.file("shared.fdb");

    void SetUp() override {
        dbDatabase db;
        ASSERT_TRUE(db.openDatabase(name.c_str(), file.c_str()));
        TxnItem item;
        item.key = 1;
        item.text = "base";
        db.insertRecord(&TxnItem::dbDescriptor, &item);
        db.closeDatabase();
    }
    bool openDb(dbDatabase& db) { return db.openDatabase(name.c_str(), file.c_str()); }
    static oid_t insert(dbDatabase& db, int key) {
        TxnItem item;
        item.key = key;
        item.text = "row";
        return db.insertRecord(&TxnItem::dbDescriptor, &item);
    }
    static int count() {
        dbCursor<TxnItem> c;
        return c.select();
    }
};

}  // namespace

TEST_F(TwoProcesses, ReadersShareTheLock) {
    // The child is forked before this process opens the store: a child must never inherit an
    // open database. Each process binds its own descriptors.
    Child child([&](int out) {
        dbDatabase other;
        if (!openDb(other)) {
            return 2;
        }
        say(out, 'o');
        hear();
        const int n = count();  // must not wait for the parent
        say(out, char('0' + n));
        say(out, char('0' + other.monitor->readers));
        other.closeDatabase();
        return 0;
    });
    ASSERT_EQ(child.next(), 'o');  // opened while nobody held a lock
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(count(), 1);  // holds the shared lock until the commit
    child.tell('r');
    EXPECT_EQ(child.next(), '1');
    EXPECT_EQ(child.next(), '2') << "both readers hold the lock at once";
    EXPECT_EQ(child.wait(), 0);
    db.commitTransaction();
    db.closeDatabase();
}

TEST_F(TwoProcesses, WriterWaitsForTheReader) {
    // The child is forked before this process opens the store: a child must never inherit an
    // open database. Each process binds its own descriptors.
    Child child([&](int out) {
        dbDatabase other;
        if (!openDb(other)) {
            return 2;
        }
        say(out, 'o');
        hear();
        insert(other, 2);  // waits for the parent's shared lock
        say(out, 'w');
        other.commitTransaction();
        other.closeDatabase();
        return 0;
    });
    ASSERT_EQ(child.next(), 'o');
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(count(), 1);
    child.tell('w');
    for (int i = 0; i < 2000 && db.monitor->waitingWriters == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(db.monitor->waitingWriters, 1u);
    EXPECT_EQ(child.next(200), -1) << "the writer did not wait for the reader";
    db.commitTransaction();  // releases the shared lock
    EXPECT_EQ(child.next(), 'w');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(count(), 2);
    db.commitTransaction();
    db.closeDatabase();
    EXPECT_TRUE(dbCheckFile(file.c_str()).empty());
}

TEST_F(TwoProcesses, SecondUpgradeGetsCode7) {
    // The child is forked before this process opens the store: a child must never inherit an
    // open database. Each process binds its own descriptors.
    Child child([&](int out) {
        dbDatabase other;
        if (!openDb(other)) {
            return 2;
        }
        say(out, 'o');
        hear();
        count();
        say(out, 'r');
        insert(other, 3);  // upgrade: waits for the parent's shared lock
        say(out, 'u');
        other.commitTransaction();
        other.closeDatabase();
        return 0;
    });
    ASSERT_EQ(child.next(), 'o');
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(count(), 1);
    child.tell('r');
    ASSERT_EQ(child.next(), 'r');
    for (int i = 0; i < 2000 && db.monitor->upgradeWaiting == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(db.monitor->upgradeWaiting, 1u);
    int code = -1;
    ::testing::internal::CaptureStderr();
    try {
        insert(db, 4);
    } catch (const dbException& e) {
        code = e.getErrCode();
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, dbDatabase::Deadlock);
    db.rollbackTransaction();
    EXPECT_EQ(child.next(), 'u');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(count(), 2);
    db.commitTransaction();
    db.closeDatabase();
}

TEST_F(TwoProcesses, KilledLockHolderNeverBlocksTheNextOpener) {
    for (const bool exclusive : {false, true}) {
        SCOPED_TRACE(exclusive ? "exclusive" : "shared");
        Child holder([&](int out) {
            dbDatabase db;
            if (!openDb(db)) {
                return 2;
            }
            if (exclusive) {
                insert(db, 99);  // uncommitted write under the exclusive lock
            } else {
                count();
            }
            say(out, 'h');
            pause();
            return 0;
        });
        ASSERT_EQ(holder.next(), 'h');
        holder.killNow();
        Child next([&](int out) {
            dbDatabase db;
            if (!openDb(db)) {
                return 2;
            }
            insert(db, 5);
            db.commitTransaction();
            say(out, char('0' + count()));
            db.closeDatabase();
            return 0;
        });
        EXPECT_EQ(next.next(), '2') << "the next opener did not proceed or saw the dead write";
        EXPECT_EQ(next.wait(), 0);
        dbDatabase db;  // put the store back to one row for the next round
        ASSERT_TRUE(openDb(db));
        dbCursor<TxnItem> c(dbCursorForUpdate);
        c.select();
        c.currentId = c.lastId;
        c.fetch();
        c.remove();
        db.commitTransaction();
        db.closeDatabase();
        EXPECT_TRUE(dbCheckFile(file.c_str()).empty());
    }
}

TEST_F(TwoProcesses, WriterThatDiedIsRecoveredAfterTheLockTimeout) {
    Child writer([&](int out) {
        dbDatabase db;
        if (!openDb(db)) {
            return 2;
        }
        say(out, 'o');
        hear();
        insert(db, 42);  // exclusive lock, never committed: the process dies holding it
        say(out, 'h');
        pause();
        return 0;
    });
    ASSERT_EQ(writer.next(), 'o');
    dbDatabase db;
    ASSERT_TRUE(db.openDatabase(name.c_str(), file.c_str(), 300));  // 300 ms lock timeout
    writer.tell('w');
    ASSERT_EQ(writer.next(), 'h');
    writer.killNow();
    EXPECT_EQ(db.monitor->writers, 1u) << "the dead writer is still recorded";
    EXPECT_EQ(count(), 1) << "the reader did not get the lock or saw the dead write";
    insert(db, 7);
    db.commitTransaction();
    EXPECT_EQ(count(), 2);
    db.commitTransaction();
    db.closeDatabase();
    EXPECT_TRUE(dbCheckFile(file.c_str()).empty());
}

TEST_F(TwoProcesses, ReaderFollowsTheFileGrownByAnotherProcess) {
    Child grower([&](int out) {
        dbDatabase db;
        if (!openDb(db)) {
            return 2;
        }
        say(out, 'o');
        hear();
        const std::string big(4000, 'g');
        for (int i = 0; i < 2000; i++) {  // about 8 MB: the file grows several times
            TxnItem item;
            item.key = i;
            item.text = big.c_str();
            db.insertRecord(&TxnItem::dbDescriptor, &item);
        }
        db.commitTransaction();
        say(out, char('0' + (db.monitor->fileGeneration > 1)));
        db.closeDatabase();
        return 0;
    });
    ASSERT_EQ(grower.next(), 'o');
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    const uint32_t size = db.header()->fileSize;
    db.commitTransaction();
    grower.tell('g');
    EXPECT_EQ(grower.next(), '1') << "the file did not grow";
    EXPECT_EQ(grower.wait(), 0);
    EXPECT_EQ(count(), 2001);  // remaps to the new generation at the lock
    EXPECT_GT(db.header()->fileSize, size);
    EXPECT_EQ(db.file.getSize(), db.header()->fileSize);
    db.commitTransaction();
    db.closeDatabase();
    EXPECT_TRUE(dbCheckFile(file.c_str()).empty());
}
