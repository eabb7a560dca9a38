// The named primitives across real processes (fork): events and semaphores shared by name,
// the process section and the open gate with a holder killed by SIGKILL, shared blocks that
// start fresh when nobody holds them, and per-user separation of every name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sync_w32.h"

namespace {

// A name no other test (or concurrent test binary) uses.
std::string uniqueName(const char* what) {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    return "ks" + std::to_string(getpid()) + "." + info->name() + "." + what;
}

pid_t spawn(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    return pid;
}

// The child's exit code; -1 when it did not end within `ms` (it is then killed), -2 when a
// signal ended it.
int waitExit(pid_t pid, int ms = 30000) {
    for (int waited = 0; waited <= ms; waited += 2) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

void killAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

bool stillRunning(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

bool shmExists(const std::string& name) {
    char path[256];
    dbNamedObjectPath(name.c_str(), path, sizeof path);
    int fd = shm_open(path, O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

int32_t load(int32_t* p) {
    return std::atomic_ref<int32_t>(*p).load();
}

TEST(NamedEvent, SharedByNameAcrossProcesses) {
    const std::string name = uniqueName("ev");
    const std::string readyName = uniqueName("ready");
    dbWaitEvent e;
    dbCountingSemaphore ready;
    ASSERT_TRUE(e.open(name.c_str(), false));
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));

    pid_t waiter = spawn([&] {
        dbWaitEvent ce;
        dbCountingSemaphore cr;
        if (!ce.open(name.c_str(), true) || !cr.open(readyName.c_str(), 0)) {
            return 10;
        }
        if (ce.wait(0)) {
            return 11;  // the existing, unsignalled event must be shared, not re-created
        }
        cr.signal(1);
        if (!ce.wait(30000)) {
            return 12;
        }
        return ce.wait(0) ? 0 : 13;  // manual reset: still signalled
    });
    ASSERT_TRUE(ready.wait(30000));
    e.signal();
    EXPECT_EQ(waitExit(waiter), 0);

    // The state belongs to the object, which lives while anyone holds it.
    EXPECT_EQ(waitExit(spawn([&] {
                  dbWaitEvent ce;
                  return ce.open(name.c_str(), false) && ce.wait(0) ? 0 : 1;
              })),
              0);
    e.reset();
    EXPECT_EQ(waitExit(spawn([&] {
                  dbWaitEvent ce;
                  return ce.open(name.c_str(), true) && !ce.wait(0) ? 0 : 1;
              })),
              0);
}

// Like a Windows object that vanished with its last handle: a name whose holders are all gone
// (closed or killed) is opened fresh, with the opener's initial state.
TEST(NamedEvent, FreshOnceEveryHolderIsGone) {
    const std::string name = uniqueName("ev");
    const std::string readyName = uniqueName("ready");
    dbCountingSemaphore ready;
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));
    pid_t holder = spawn([&] {
        dbWaitEvent ce;
        dbCountingSemaphore cr;
        if (!ce.open(name.c_str(), false) || !cr.open(readyName.c_str(), 0)) {
            return 10;
        }
        ce.signal();
        cr.signal(1);
        pause();
        return 0;
    });
    ASSERT_TRUE(ready.wait(30000));
    killAndReap(holder);

    dbWaitEvent e;
    ASSERT_TRUE(e.open(name.c_str(), false));
    EXPECT_FALSE(e.wait(0)) << "a dead process's signal survived in a fresh open";
    e.close();
    EXPECT_FALSE(shmExists(name)) << "the last holder's close must remove the name";
}

TEST(NamedSemaphore, UnitsAreSharedAcrossProcesses) {
    const std::string name = uniqueName("sem");
    dbCountingSemaphore s;
    ASSERT_TRUE(s.open(name.c_str(), 0));
    EXPECT_EQ(waitExit(spawn([&] {
                  dbCountingSemaphore cs;
                  return cs.open(name.c_str(), 0) && cs.signal(3) ? 0 : 1;
              })),
              0);
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0));
    EXPECT_FALSE(s.wait(0));

    // A waiter killed while it waits takes nothing with it: the next unit still reaches a
    // live waiter.
    pid_t doomed = spawn([&] {
        dbCountingSemaphore cs;
        return cs.open(name.c_str(), 0) && cs.wait(dbWaitForever) ? 0 : 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    killAndReap(doomed);
    pid_t waiter = spawn([&] {
        dbCountingSemaphore cs;
        return cs.open(name.c_str(), 0) && cs.wait(30000) ? 0 : 1;
    });
    s.signal(1);
    EXPECT_EQ(waitExit(waiter), 0);
}

// The counter and the flag live in a shared block, as the engine keeps them.
struct SectionFixture : testing::Test {
    std::string blockName = uniqueName("dm");
    std::string sectionName = uniqueName("cs");
    dbSharedBlock block;
    int32_t* counter = nullptr;
    int32_t* flag = nullptr;

    void SetUp() override {
        ASSERT_TRUE(block.open(blockName.c_str(), 4096));
        counter = static_cast<int32_t*>(block.get());
        flag = counter + 1;
    }

    // In a child: opens the same block and section (as a later opener).
    bool childOpen(dbSharedBlock& b, dbProcessSection& s) {
        return b.open(blockName.c_str(), 4096) &&
               s.open(sectionName.c_str(), static_cast<int32_t*>(b.get()));
    }
};

TEST_F(SectionFixture, SecondEntryBlocksUntilTheFirstLeaves) {
    dbProcessSection section;
    ASSERT_TRUE(section.create(sectionName.c_str(), counter));
    EXPECT_EQ(load(counter), 1);
    section.enter();
    EXPECT_EQ(load(counter), 0);

    pid_t child = spawn([&] {
        dbSharedBlock b;
        dbProcessSection s;
        if (!childOpen(b, s)) {
            return 10;
        }
        s.enter();
        std::atomic_ref<int32_t>(static_cast<int32_t*>(b.get())[1]).store(1);
        s.leave();
        return 0;
    });
    // The child has counted itself in as a waiter...
    bool waiting = false;
    for (int i = 0; i < 20000 && !waiting; i++) {
        waiting = load(counter) == -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(waiting);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(load(flag), 0) << "the second entry got in while the first held the section";
    section.leave();
    EXPECT_EQ(waitExit(child), 0);
    EXPECT_EQ(load(flag), 1);
    EXPECT_EQ(load(counter), 1) << "a leave with nobody waiting leaves the counter at 1";
}

TEST_F(SectionFixture, AHolderKilledInsideDoesNotBlockTheOthers) {
    dbProcessSection section;
    ASSERT_TRUE(section.create(sectionName.c_str(), counter));
    const std::string readyName = uniqueName("ready");
    dbCountingSemaphore ready;
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));
    pid_t holder = spawn([&] {
        dbSharedBlock b;
        dbProcessSection s;
        dbCountingSemaphore r;
        if (!childOpen(b, s) || !r.open(readyName.c_str(), 0)) {
            return 10;
        }
        s.enter();
        r.signal(1);
        pause();
        return 0;
    });
    ASSERT_TRUE(ready.wait(30000));
    // Killed but not reaped yet: a zombie holds nothing.
    kill(holder, SIGKILL);

    EXPECT_EQ(waitExit(spawn([&] {
                  dbSharedBlock b;
                  dbProcessSection s;
                  if (!childOpen(b, s)) {
                      return 10;
                  }
                  s.enter();
                  s.leave();
                  return 0;
              })),
              0)
        << "the next process hung on a section whose holder died";
    waitpid(holder, nullptr, 0);
    section.enter();
    section.leave();
    EXPECT_EQ(load(counter), 1) << "the dead holder's missing leave was not accounted for";
}

// The section stands for an event, which has no owner: a thread other than the one that
// entered may leave (the engine's commit thread ends other threads' transactions).
TEST_F(SectionFixture, AnyThreadOfTheProcessMayLeave) {
    dbProcessSection section;
    ASSERT_TRUE(section.create(sectionName.c_str(), counter));
    section.enter();
    std::thread([&] { section.leave(); }).join();
    EXPECT_EQ(load(counter), 1);
    EXPECT_EQ(waitExit(spawn([&] {
                  dbSharedBlock b;
                  dbProcessSection s;
                  if (!childOpen(b, s)) {
                      return 10;
                  }
                  s.enter();
                  s.leave();
                  return 0;
              })),
              0)
        << "a leave from another thread did not free the section";
}

// Two opens of one name in one process (two databases on the same name) exclude each other.
TEST_F(SectionFixture, TwoOpensInOneProcessExcludeEachOther) {
    dbProcessSection first, second;
    ASSERT_TRUE(first.create(sectionName.c_str(), counter));
    ASSERT_TRUE(second.open(sectionName.c_str(), counter));
    first.enter();
    std::atomic<bool> inside{false};
    std::thread other([&] {
        second.enter();
        inside = true;
        second.leave();
    });
    for (int i = 0; i < 20000 && load(counter) != -1; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(inside) << "the second open entered while the first held the section";
    first.leave();
    other.join();
    EXPECT_TRUE(inside);
    EXPECT_EQ(load(counter), 1);
}

// Several processes and threads updating one shared word under the section lose no update.
TEST_F(SectionFixture, ExcludesAcrossProcessesAndThreadsUnderLoad) {
    dbProcessSection section;
    ASSERT_TRUE(section.create(sectionName.c_str(), counter));
    const int perWorker = 20000;
    auto work = [&](dbProcessSection& s, int32_t* shared) {
        for (int i = 0; i < perWorker; i++) {
            s.enter();
            // A plain read-modify-write: only exclusion keeps it whole.
            int32_t v = *reinterpret_cast<volatile int32_t*>(shared + 1);
            *reinterpret_cast<volatile int32_t*>(shared + 1) = v + 1;
            s.leave();
        }
    };
    std::vector<pid_t> children;
    for (int c = 0; c < 2; c++) {
        children.push_back(spawn([&] {
            dbSharedBlock b;
            dbProcessSection s;
            if (!childOpen(b, s)) {
                return 10;
            }
            work(s, static_cast<int32_t*>(b.get()));
            return 0;
        }));
    }
    std::thread local([&] { work(section, counter); });
    work(section, counter);
    local.join();
    for (pid_t c : children) {
        EXPECT_EQ(waitExit(c, 60000), 0);
    }
    EXPECT_EQ(load(flag), 4 * perWorker);
    EXPECT_EQ(load(counter), 1);
}

TEST_F(SectionFixture, OpenNeedsAnExistingSection) {
    dbProcessSection s;
    EXPECT_FALSE(s.open(uniqueName("absent").c_str(), counter));
}

TEST(OpenGate, SecondOpenerWaitsForTheFirstToFinish) {
    const std::string name = uniqueName("in");
    dbOpenGate first;
    ASSERT_EQ(first.open(name.c_str()), 2);
    pid_t second = spawn([&] {
        dbOpenGate g;
        return g.open(name.c_str());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(stillRunning(second)) << "a later opener passed before the first called done";
    first.done();
    EXPECT_EQ(waitExit(second), 1);

    // Two openers in one process are two openers, too.
    dbOpenGate again;
    EXPECT_EQ(again.open(name.c_str()), 1);
    EXPECT_FALSE(first.close());
    EXPECT_FALSE(again.close());
    dbOpenGate fresh;
    EXPECT_EQ(fresh.open(name.c_str()), 2) << "everyone closed: the next opener is first";
    fresh.done();
}

TEST(OpenGate, AFirstOpenerKilledWhileInitialisingLeavesTheNextOneFirst) {
    const std::string name = uniqueName("in");
    const std::string readyName = uniqueName("ready");
    dbCountingSemaphore ready;
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));
    pid_t crashing = spawn([&] {
        dbOpenGate g;
        dbCountingSemaphore r;
        if (g.open(name.c_str()) != 2 || !r.open(readyName.c_str(), 0)) {
            return 10;
        }
        r.signal(1);
        pause();  // killed before done()
        return 0;
    });
    ASSERT_TRUE(ready.wait(30000));
    pid_t waiting = spawn([&] {
        dbOpenGate g;
        return g.open(name.c_str());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    killAndReap(crashing);
    EXPECT_EQ(waitExit(waiting), 2) << "after the crash the waiting opener must initialise";
}

TEST(OpenGate, AfterACrashTheNextOpenerIsFirstUnlessALiveOpenerRemains) {
    const std::string name = uniqueName("in");
    const std::string readyName = uniqueName("ready");
    dbCountingSemaphore ready;
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));
    pid_t opener = spawn([&] {
        dbOpenGate g;
        dbCountingSemaphore r;
        if (g.open(name.c_str()) != 2 || !r.open(readyName.c_str(), 0)) {
            return 10;
        }
        g.done();
        r.signal(1);
        pause();
        return 0;
    });
    ASSERT_TRUE(ready.wait(30000));
    dbOpenGate live;
    EXPECT_EQ(live.open(name.c_str()), 1);
    killAndReap(opener);
    auto openInChild = [&] {
        return waitExit(spawn([&] {
            dbOpenGate g;
            return g.open(name.c_str());
        }));
    };
    EXPECT_EQ(openInChild(), 1) << "a live opener remains";
    live.close();
    EXPECT_EQ(openInChild(), 2) << "the crashed opener still counted as open";
}

// A child forked without exec shares the parent's open objects; the parent's close must still
// end the parent's registration.
TEST(OpenGate, CloseEndsTheRegistrationEvenWhenAForkedChildSharesIt) {
    const std::string name = uniqueName("in");
    dbOpenGate gate, other;
    ASSERT_EQ(gate.open(name.c_str()), 2);
    gate.done();
    ASSERT_EQ(other.open(name.c_str()), 1);
    pid_t bystander = spawn([] {
        pause();
        return 0;
    });
    gate.close();   // another opener remains: the name stays
    other.close();  // the last one: gate's registration must be gone by now
    const int rc = waitExit(spawn([&] {
        dbOpenGate g;
        return g.open(name.c_str());
    }));
    killAndReap(bystander);
    EXPECT_EQ(rc, 2);
}

TEST(SharedBlock, SharedWhileHeldAndZeroedOnceEveryHolderIsGone) {
    const std::string name = uniqueName("dm");
    dbSharedBlock block;
    ASSERT_TRUE(block.open(name.c_str(), 524360));
    EXPECT_TRUE(block.isFresh());
    auto* words = static_cast<int32_t*>(block.get());
    words[0] = 41;
    words[524360 / 4 - 1] = 42;
    EXPECT_EQ(waitExit(spawn([&] {
                  dbSharedBlock b;
                  if (!b.open(name.c_str(), 524360) || b.isFresh()) {
                      return 10;
                  }
                  auto* w = static_cast<int32_t*>(b.get());
                  if (w[0] != 41 || w[524360 / 4 - 1] != 42) {
                      return 11;
                  }
                  w[1] = 43;
                  return 0;
              })),
              0);
    EXPECT_EQ(words[1], 43);
    block.close();

    const std::string readyName = uniqueName("ready");
    dbCountingSemaphore ready;
    ASSERT_TRUE(ready.open(readyName.c_str(), 0));
    pid_t crashing = spawn([&] {
        dbSharedBlock b;
        dbCountingSemaphore r;
        if (!b.open(name.c_str(), 524360) || !r.open(readyName.c_str(), 0)) {
            return 10;
        }
        memset(b.get(), 0xab, 524360);
        r.signal(1);
        pause();
        return 0;
    });
    ASSERT_TRUE(ready.wait(30000));
    killAndReap(crashing);
    ASSERT_TRUE(block.open(name.c_str(), 524360));
    EXPECT_TRUE(block.isFresh());
    const auto* bytes = static_cast<const unsigned char*>(block.get());
    size_t nonZero = 0;
    for (size_t i = 0; i < 524360; i++) {
        nonZero += bytes[i] != 0;
    }
    EXPECT_EQ(nonZero, 0u) << "a dead process's shared state reached the next opener";
}

TEST(NamedObjects, NamesAreShortDistinctAndCarryTheUser) {
    char a[256], b[256];
    const std::string uid = "." + std::to_string(geteuid()) + ".";
    EXPECT_STREQ(dbNamedObjectPath("KestCRMClient.in", a, sizeof a),
                 ("/kdb" + uid + "KestCRMClient.in").c_str());
    dbNamedObjectPath("dir/db.in", a, sizeof a);
    dbNamedObjectPath("dir_db.in", b, sizeof b);
    EXPECT_STRNE(a, b) << "a replaced character must not merge two names";
    EXPECT_EQ(strchr(a + 1, '/'), nullptr);

    const std::string longName(400, 'x');
    const std::string otherLong = "y" + longName.substr(1);
    dbNamedObjectPath(longName.c_str(), a, sizeof a);
    dbNamedObjectPath(otherLong.c_str(), b, sizeof b);
    EXPECT_LT(strlen(a), 200u);
    EXPECT_STRNE(a, b) << "long names differing at the start must stay apart";
    dbWaitEvent e;
    EXPECT_TRUE(e.open((longName + "/ok").c_str(), false));
}

// Two users never share a named object: another user's object of the same database name is a
// different object, and a name squatted by another user is refused rather than used.
TEST(NamedObjects, TwoUsersNeverShare) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    const uid_t other = 65534;
    const std::string name = uniqueName("ev");
    dbWaitEvent mine;
    ASSERT_TRUE(mine.open(name.c_str(), false));
    mine.signal();
    char rootPath[256];
    const std::string squatted = uniqueName("squat");
    dbNamedObjectPath(squatted.c_str(), rootPath, sizeof rootPath);

    const int rc = waitExit(spawn([&] {
        if (setgid(other) != 0 || setuid(other) != 0) {
            return 10;
        }
        dbWaitEvent theirs;
        if (!theirs.open(name.c_str(), false)) {
            return 11;
        }
        if (theirs.wait(0)) {
            return 12;  // saw root's signalled event
        }
        theirs.signal();
        // Squat root's name for another object.
        int fd = shm_open(rootPath, O_RDWR | O_CREAT, 0666);
        if (fd < 0) {
            return 13;
        }
        fchmod(fd, 0666);
        close(fd);
        return 0;
    }));
    ASSERT_EQ(rc, 0);
    mine.reset();
    EXPECT_FALSE(mine.wait(0)) << "the other user's signal reached this user's event";
    dbWaitEvent squat;
    EXPECT_FALSE(squat.open(squatted.c_str(), false)) << "an object owned by another user was used";
    shm_unlink(rootPath);
}

}  // namespace
