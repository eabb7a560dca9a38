// In-process behaviour of the engine's primitives: the recursive mutex and its harmlessness
// outside its lifetime, manual-reset events, counting semaphores, thread slots, the thread
// pool, the intrusive list, the symbol table, dbException and dbSmallBuffer.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sync_w32.h"

namespace {

// Polls `done` for up to `seconds`; a bound on a wait, not a measurement.
template <class F>
bool eventually(F done, int seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

int threadCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d)) {
        n += e->d_name[0] != '.';
    }
    closedir(d);
    return n;
}

TEST(DbMutex, IsRecursiveAndExcludesOtherThreads) {
    dbMutex m;
    m.lock();
    m.lock();  // a second lock by the owner must not deadlock
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        m.lock();
        otherGotIt = true;
        m.unlock();
    });
    m.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherGotIt) << "one unlock of two released the mutex";
    m.unlock();
    other.join();
    EXPECT_TRUE(otherGotIt);

    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            dbCriticalSection cs(m);
            counter = counter + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

// A static mutex may be used by other static objects before its constructor runs and after its
// destructor ran: zero storage (static before construction) and destroyed storage both lock
// and unlock as no-ops.
TEST(DbMutex, HarmlessBeforeConstructionAndAfterDestruction) {
    alignas(dbMutex) static unsigned char storage[sizeof(dbMutex)];
    memset(storage, 0, sizeof storage);
    auto* m = reinterpret_cast<dbMutex*>(storage);
    EXPECT_FALSE(m->isInitialized());
    m->lock();
    m->unlock();

    new (storage) dbMutex();
    EXPECT_TRUE(m->isInitialized());
    m->~dbMutex();
    EXPECT_FALSE(m->isInitialized());

    m->lock();  // left "held" on purpose: it must not exclude anyone
    std::atomic<bool> passed{false};
    std::thread other([&] {
        m->lock();
        m->unlock();
        passed = true;
    });
    bool ok = eventually([&] { return passed.load(); }, 20);
    if (!ok) {
        other.detach();
        FAIL() << "a destroyed mutex still excludes";
    }
    other.join();
}

TEST(DbWaitEvent, ManualResetStaysSignalledUntilReset) {
    dbWaitEvent e;
    ASSERT_TRUE(e.open(nullptr, false));
    EXPECT_FALSE(e.wait(0));
    EXPECT_FALSE(e.wait(30));
    e.signal();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(0)) << "a manual-reset event is not consumed by a wait";
    e.reset();
    EXPECT_FALSE(e.wait(0));

    dbWaitEvent initiallySet;
    ASSERT_TRUE(initiallySet.open(nullptr, true));
    EXPECT_TRUE(initiallySet.wait(0));
}

TEST(DbWaitEvent, SignalWakesEveryWaiter) {
    dbWaitEvent e;
    ASSERT_TRUE(e.open());
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            if (e.wait(dbWaitForever)) {
                woken++;
            }
        });
    }
    e.signal();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken, 3);
}

// wait(mutex) releases the mutex while waiting: the signalling thread needs it.
TEST(DbWaitEvent, WaitWithMutexReleasesItWhileWaiting) {
    dbMutex m;
    dbWaitEvent e;
    ASSERT_TRUE(e.open());
    bool condition = false;
    std::thread signaller([&] {
        dbCriticalSection cs(m);
        condition = true;
        e.signal();
    });
    {
        dbCriticalSection cs(m);
        while (!condition) {
            e.wait(m);
        }
    }
    signaller.join();
    EXPECT_TRUE(condition);
    e.reset();
    m.lock();
    EXPECT_FALSE(e.wait(m, 10));
    m.unlock();
}

TEST(DbCountingSemaphore, CountsUnitsAndIgnoresZeroSignal) {
    dbCountingSemaphore s;
    ASSERT_TRUE(s.open(nullptr, 2));
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0));
    EXPECT_FALSE(s.wait(0)) << "an empty semaphore must refuse at once";
    EXPECT_TRUE(s.signal(0));
    EXPECT_FALSE(s.wait(0)) << "signal(0) added a unit";
    EXPECT_TRUE(s.signal(3));
    s.drain();
    EXPECT_FALSE(s.wait(0)) << "drain left units";
    EXPECT_FALSE(s.signal(dbCountingSemaphore::maxCount + 1));
    EXPECT_TRUE(s.signal(dbCountingSemaphore::maxCount));
    EXPECT_FALSE(s.signal(1)) << "the maximum count of 1000000 was passed";
}

TEST(DbCountingSemaphore, SignalReleasesExactlyThatManyWaiters) {
    dbCountingSemaphore s;
    ASSERT_TRUE(s.open(nullptr, 0));
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; i++) {
        waiters.emplace_back([&] {
            if (s.wait(dbWaitForever)) {
                taken++;
            }
        });
    }
    s.signal(3);
    EXPECT_TRUE(eventually([&] { return taken.load() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(taken, 3) << "three units released a fourth waiter";
    s.signal(1);
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(taken, 4);
    EXPECT_FALSE(s.wait(0));
}

TEST(DbThreadContext, EachThreadSeesItsOwnSlot) {
    dbThreadContext<int> ctx;
    int mine = 1, theirs = 2;
    EXPECT_EQ(ctx.get(), nullptr);
    ctx.set(&mine);
    int* seenByOther = &mine;
    int* setByOther = nullptr;
    std::thread other([&] {
        seenByOther = ctx.get();
        ctx.set(&theirs);
        setByOther = ctx.get();
    });
    other.join();
    EXPECT_EQ(seenByOther, nullptr);
    EXPECT_EQ(setByOther, &theirs);
    EXPECT_EQ(ctx.get(), &mine);

    dbThreadContext<int> second;  // a new slot starts empty in every thread
    EXPECT_EQ(second.get(), nullptr);
}

// Running out of thread-local slots is fatal, with the condition, this file and a line.
TEST(DbThreadContextDeathTest, NoSlotLeftStopsTheProcessWithItsDiagnostic) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            for (int i = 0; i < 4096; i++) {
                new dbThreadContext<int>();
            }
        },
        "Assertion failed: index != TLS_OUT_OF_INDEXES, file engine286/sync_w32.cpp, line [0-9]+");
}

TEST(DbThread, CreateAndJoin) {
    std::atomic<uint32_t> tid{0};
    dbThread t;
    ASSERT_TRUE(t.create(
        [](void* p) { *static_cast<std::atomic<uint32_t>*>(p) = dbThread::getCurrentThreadId(); },
        &tid));
    t.join();
    EXPECT_NE(tid.load(), 0u);
    EXPECT_NE(tid.load(), dbThread::getCurrentThreadId());
    EXPECT_FALSE(t.isRunning());
    EXPECT_GE(dbThread::numberOfProcessors(), 1);
}

TEST(DbThreadPool, RunsJobsReusesThreadsAndStopsThemOnDestruction) {
    const int before = threadCount();
    std::atomic<int> runs{0};
    auto job = [](void* p) { static_cast<std::atomic<int>*>(p)->fetch_add(1); };
    {
        dbThreadPool pool;
        dbPooledThread* a = pool.create(job, &runs);
        dbPooledThread* b = pool.create(job, &runs);
        EXPECT_NE(a, b);
        pool.join(a);
        pool.join(b);
        EXPECT_EQ(runs, 2);
        dbPooledThread* c = pool.create(job, &runs);
        EXPECT_TRUE(c == a || c == b) << "an idle pooled thread was not reused";
        pool.join(c);
        EXPECT_EQ(runs, 3);
        EXPECT_EQ(threadCount(), before + 2);
    }
    EXPECT_EQ(threadCount(), before) << "pool destruction left threads running";
}

TEST(DbL2List, LinkInsertsAfterHeadAndUnlinkSelfLoops) {
    dbL2List head, a, b;
    EXPECT_TRUE(head.isEmpty());
    head.link(&a);
    head.link(&b);  // b goes directly after the head
    EXPECT_EQ(head.next, &b);
    EXPECT_EQ(b.next, &a);
    EXPECT_EQ(a.next, &head);
    EXPECT_EQ(head.prev, &a);
    b.unlink();
    EXPECT_EQ(b.next, &b);
    EXPECT_EQ(b.prev, &b);
    EXPECT_EQ(head.next, &a);
    EXPECT_EQ(a.prev, &head);
    a.unlink();
    EXPECT_TRUE(head.isEmpty());
    EXPECT_EQ(head.prev, &head);
}

TEST(DbDatabaseThreadContext, StartsCleanWithTheOwningThread) {
    dbDatabaseThreadContext ctx;
    EXPECT_EQ(ctx.threadId, dbThread::getCurrentThreadId());
    EXPECT_EQ(ctx.readAccess | ctx.writeAccess | ctx.mutatorLocked | ctx.concurrentId, 0);
    EXPECT_EQ(ctx.commitDelayed | ctx.removeContext, 0);
    EXPECT_TRUE(ctx.cursors.isEmpty());
    dbL2List contexts;
    contexts.link(&ctx);
    EXPECT_EQ(static_cast<dbDatabaseThreadContext*>(contexts.next), &ctx);
    ctx.unlink();
}

TEST(DbSymbolTable, InternsNamesAndKeepsCollisionsApart) {
    dbSymbolTable table;
    char first[] = "Customer";
    char second[] = "Customer";
    const char* p1 = first;
    const char* p2 = second;
    EXPECT_EQ(table.insert(p1, 7), 7);
    EXPECT_EQ(p1, first);
    EXPECT_EQ(table.insert(p2, 9), 7) << "the first tag wins";
    EXPECT_EQ(p2, first) << "equal names must share the first pointer";

    // "Aa" and "BB" have the same hash (65*31+97 == 66*31+66).
    ASSERT_EQ(dbSymbolTable::hashOf("Aa"), dbSymbolTable::hashOf("BB"));
    const char* aa = "Aa";
    const char* bb = "BB";
    EXPECT_EQ(table.insert(aa, 1), 1);
    EXPECT_EQ(table.insert(bb, 2), 2);
    EXPECT_STREQ(aa, "Aa");
    EXPECT_STREQ(bb, "BB");

    char scratch[] = "Employee";
    const char* copied = scratch;
    EXPECT_EQ(table.insert(copied, 3, true), 3);
    EXPECT_NE(copied, scratch) << "copy must give an owned copy";
    strcpy(scratch, "XXXXXXXX");
    EXPECT_STREQ(copied, "Employee");
    const char* again = "Employee";
    table.insert(again, 4);
    EXPECT_EQ(again, copied);
}

TEST(DbSymbolTable, HashIsTimes31OverUnsignedBytes) {
    EXPECT_EQ(dbSymbolTable::hashOf(""), 0u);
    EXPECT_EQ(dbSymbolTable::hashOf("ab"), 97u * 31 + 98);
    EXPECT_EQ(dbSymbolTable::hashOf("\xff"), 255u) << "bytes are taken as unsigned";
    static const char name[] = "engine_sync_process_table_name";
    std::string duplicate = name;
    const char* first = name;
    const char* other = duplicate.c_str();
    EXPECT_EQ(dbSymbolTable::add(first, 5), 5);
    EXPECT_EQ(dbSymbolTable::add(other, 6), 5);
    EXPECT_EQ(other, name) << "the process table did not intern";
}

TEST(DbException, CopyOwnsItsText) {
    auto* original = new dbException(4, "Failed to open database monitor", 17);
    dbException copy(*original);
    delete original;
    EXPECT_EQ(copy.getErrCode(), 4);
    EXPECT_STREQ(copy.getMsg(), "Failed to open database monitor");
    EXPECT_EQ(copy.getArg(), 17);
    dbException none(0);
    EXPECT_EQ(none.getMsg(), nullptr);
    none = copy;
    EXPECT_STREQ(none.what(), "Failed to open database monitor");
    try {
        throw dbException(7, "Deadlock is caused by upgrading shared locks to exclusive");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Deadlock is caused by upgrading shared locks to exclusive");
    }
}

TEST(DbSmallBuffer, InlineUpTo512BytesThenHeap) {
    struct Case {
        size_t size;
        bool inlineExpected;
    } cases[] = {{0, true}, {1, true}, {512, true}, {513, false}, {100000, false}};
    for (const Case& c : cases) {
        dbSmallBuffer b(c.size);
        EXPECT_EQ(b.isInline(), c.inlineExpected) << c.size;
        EXPECT_EQ(b.size(), c.size);
        memset(b.base(), 0x5a, c.size);  // the whole request is writable (ASan checks)
    }
}

}  // namespace
