// POSIX realisation of the engine's synchronisation primitives (see sync_w32.h).
//
// Named objects: a shared-memory object per name, owned by the effective uid. Every holder
// keeps an open-file-description lock on byte 0 of it, shared while it uses the object. An
// opener that can take that byte exclusively is the only holder: it zeroes and initialises
// the object before sharing it, so state left by a crashed process is never inherited. The
// last holder to close removes the name. Events and semaphores are futex words, which a dying
// waiter cannot leave in a stuck state; the process section is a lock word holding the token
// (pid and start time) of the process inside, which waiters check when they wait long.
// The open gate uses two bytes of its object: byte 0 orders the openers' decision, byte 1 is
// held shared by every opener for the life of its open.
#include "sync_w32.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char kSourceFile[] = "engine286/sync_w32.cpp";

// Results of the internal waits, named as the diagnostics name them.
enum WaitResult : int { WAIT_OBJECT_0 = 0, WAIT_TIMEOUT = 258, WAIT_FAILED = -1 };

#define SYNC_ASSERT(cond) ((cond) ? (void)0 : dbAssertionFailed(#cond, kSourceFile, __LINE__))

int64_t monotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, expected, timeout,
                   nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Waits until `ready()` holds, sleeping on `word` while it equals `idle`. Returns
// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
template <class Ready>
int futexWaitUntil(std::atomic<uint32_t>* word, uint32_t idle, uint32_t timeoutMs, Ready ready) {
    const int64_t deadline = timeoutMs == dbWaitForever ? 0 : monotonicMs() + timeoutMs;
    for (;;) {
        if (ready()) {
            return WAIT_OBJECT_0;
        }
        timespec rel;
        const timespec* relp = nullptr;
        if (timeoutMs != dbWaitForever) {
            const int64_t left = deadline - monotonicMs();
            if (left <= 0) {
                return WAIT_TIMEOUT;
            }
            rel.tv_sec = left / 1000;
            rel.tv_nsec = (left % 1000) * 1000000;
            relp = &rel;
        }
        if (futexWait(word, idle, relp) != 0 && errno != EAGAIN && errno != EINTR &&
            errno != ETIMEDOUT) {
            return WAIT_FAILED;
        }
    }
}

// Open-file-description lock of one byte: conflicts between any two opens of the object (also
// within one process), converts atomically, and is dropped by the kernel when the holder dies.
bool lockByte(int fd, short type, off_t byte, bool wait) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) {
            return true;
        }
        if (errno != EINTR || !wait) {
            return false;
        }
    }
}

// Drops every lock of this open explicitly: a child forked without exec shares the open, and
// only an explicit unlock frees the lock while the child still has it.
void unlockAll(int fd) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // the whole object
    fcntl(fd, F_OFD_SETLK, &fl);
}

uint64_t fnv1a(const char* s) {
    uint64_t h = 1469598103934665603ull;
    for (; *s != 0; s++) {
        h = (h ^ uint8_t(*s)) * 1099511628211ull;
    }
    return h;
}

// Opens the shared-memory object of `path` and checks that it belongs to this user (a name
// squatted by someone else is refused, never shared).
int openOwned(const char* path, bool create) {
    int fd = shm_open(path, O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool isUnlinked(int fd) {
    struct stat st;
    return fstat(fd, &st) != 0 || st.st_nlink == 0;
}

}  // namespace

void dbAssertionFailed(const char* condition, const char* file, int line) {
    fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", condition, file, line);
    fflush(stderr);
    abort();
}

uint32_t dbGetTickCount() {
    return uint32_t(monotonicMs());
}

// ---------------------------------------------------------------------------------------------
// dbMutex

dbMutex::dbMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs, &attr);
    pthread_mutexattr_destroy(&attr);
    initialized.store(true, std::memory_order_release);
}

dbMutex::~dbMutex() {
    // An atomic store: it must survive as the last word of the object's life.
    initialized.store(false, std::memory_order_release);
    pthread_mutex_destroy(&cs);
}

void dbMutex::lock() {
    if (initialized.load(std::memory_order_acquire)) {
        pthread_mutex_lock(&cs);
    }
}

void dbMutex::unlock() {
    if (initialized.load(std::memory_order_acquire)) {
        pthread_mutex_unlock(&cs);
    }
}

// ---------------------------------------------------------------------------------------------
// Named segments

const char* dbNamedObjectPath(const char* name, char* buffer, size_t bufferSize) {
    const size_t maxPlain = 120;
    std::string clean;
    bool replaced = false;
    for (const char* p = name; *p != 0; p++) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        clean += ok ? c : '_';
        replaced |= !ok;
    }
    if (replaced || clean.size() > maxPlain) {
        char hash[24];
        snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(name)));
        if (clean.size() > maxPlain) {
            clean = clean.substr(clean.size() - maxPlain);  // the tail tells objects apart
        }
        clean += hash;
    }
    snprintf(buffer, bufferSize, "/kdb.%u.%s", unsigned(geteuid()), clean.c_str());
    return buffer;
}

namespace engine286_detail {

struct NamedSegment {
    int fd = -1;
    void* addr = nullptr;
    size_t size = 0;
    std::string path;

    // Opens the object `name` of `size` bytes. `fresh` tells the caller that it is the only
    // holder and must initialise the (zeroed) object, then call publish(). With `mustExist` an
    // absent name fails and a present one is used as it is.
    bool open(const char* name, size_t bytes, bool mustExist, bool& fresh) {
        char buf[256];
        path = dbNamedObjectPath(name, buf, sizeof buf);
        size = bytes;
        for (int attempt = 0; attempt < 1000; attempt++) {
            fd = openOwned(path.c_str(), !mustExist);
            if (fd < 0) {
                return false;
            }
            if (!mustExist && lockByte(fd, F_WRLCK, 0, false)) {
                if (isUnlinked(fd)) {  // its last holder removed it meanwhile: take a new one
                    ::close(fd);
                    continue;
                }
                if (ftruncate(fd, 0) != 0 || ftruncate(fd, off_t(size)) != 0 || !map()) {
                    release();
                    return false;
                }
                fresh = true;
                return true;
            }
            if (!lockByte(fd, F_RDLCK, 0, true)) {
                release();
                return false;
            }
            struct stat st;
            if (fstat(fd, &st) != 0 || st.st_nlink == 0) {
                ::close(fd);
                continue;
            }
            if (size_t(st.st_size) < size || !map()) {
                release();
                return false;
            }
            fresh = false;
            return true;
        }
        fd = -1;
        return false;
    }

    bool map() {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            return false;
        }
        addr = p;
        return true;
    }

    // Lets the others in once the only holder has initialised the object.
    void publish() { lockByte(fd, F_RDLCK, 0, false); }

    void release() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void close() {
        if (addr != nullptr) {
            munmap(addr, size);
            addr = nullptr;
        }
        if (fd >= 0) {
            // The last holder removes the name; a later opener then starts afresh.
            if (lockByte(fd, F_WRLCK, 0, false) && !isUnlinked(fd)) {
                shm_unlink(path.c_str());
            }
            unlockAll(fd);
            release();
        }
    }
};

struct EventState {
    std::atomic<uint32_t> signaled;
};

struct SemaphoreState {
    std::atomic<uint32_t> count;
};

struct SectionState {
    std::atomic<uint64_t> owner;    // token of the process inside (pid, start time), 0 when free
    std::atomic<uint32_t> wakeSeq;  // futex word: advanced by a leave that finds waiters
    std::atomic<uint32_t> waiters;
};

}  // namespace engine286_detail

using engine286_detail::EventState;
using engine286_detail::NamedSegment;
using engine286_detail::SectionState;
using engine286_detail::SemaphoreState;

namespace {

// Opens a named object holding a T, initialising it with `init` when fresh; a null name gives a
// private T on the heap.
template <class T, class Init>
T* openState(const char* name, NamedSegment*& segment, bool mustExist, Init init) {
    if (name == nullptr) {
        T* state = new T();
        init(state);
        return state;
    }
    auto* seg = new NamedSegment();
    bool fresh = false;
    if (!seg->open(name, sizeof(T), mustExist, fresh)) {
        delete seg;
        return nullptr;
    }
    T* state = static_cast<T*>(seg->addr);
    if (fresh) {
        init(state);
        seg->publish();
    }
    segment = seg;
    return state;
}

template <class T>
void closeState(T*& state, NamedSegment*& segment) {
    if (segment != nullptr) {
        segment->close();
        delete segment;
        segment = nullptr;
    } else {
        delete state;
    }
    state = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// dbWaitEvent

bool dbWaitEvent::open(const char* name, bool signaled) {
    close();
    state = openState<EventState>(
        name, segment, false, [signaled](EventState* s) { s->signaled.store(signaled ? 1 : 0); });
    return state != nullptr;
}

void dbWaitEvent::signal() {
    state->signaled.store(1);
    futexWake(&state->signaled, INT_MAX);
}

void dbWaitEvent::reset() {
    state->signaled.store(0);
}

int dbWaitEvent::rawWait(uint32_t timeoutMs) {
    return futexWaitUntil(&state->signaled, 0, timeoutMs,
                          [this] { return state->signaled.load() != 0; });
}

void dbWaitEvent::wait(dbMutex& mutex) {
    mutex.unlock();
    int rc = rawWait(dbWaitForever);
    mutex.lock();
    SYNC_ASSERT(rc == WAIT_OBJECT_0);
}

bool dbWaitEvent::wait(dbMutex& mutex, uint32_t timeoutMs) {
    mutex.unlock();
    int rc = rawWait(timeoutMs);
    mutex.lock();
    SYNC_ASSERT(rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT);
    return rc == WAIT_OBJECT_0;
}

bool dbWaitEvent::wait(uint32_t timeoutMs) {
    int rc = rawWait(timeoutMs);
    SYNC_ASSERT(rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT);
    return rc == WAIT_OBJECT_0;
}

void dbWaitEvent::close() {
    if (state != nullptr) {
        closeState(state, segment);
    }
}

// ---------------------------------------------------------------------------------------------
// dbCountingSemaphore

bool dbCountingSemaphore::open(const char* name, uint32_t initCount) {
    close();
    if (initCount > uint32_t(maxCount)) {
        return false;
    }
    state = openState<SemaphoreState>(
        name, segment, false, [initCount](SemaphoreState* s) { s->count.store(initCount); });
    return state != nullptr;
}

bool dbCountingSemaphore::wait(uint32_t timeoutMs) {
    auto take = [this] {
        uint32_t c = state->count.load();
        while (c > 0) {
            if (state->count.compare_exchange_weak(c, c - 1)) {
                return true;
            }
        }
        return false;
    };
    int rc = futexWaitUntil(&state->count, 0, timeoutMs, take);
    SYNC_ASSERT(rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT);
    return rc == WAIT_OBJECT_0;
}

bool dbCountingSemaphore::signal(uint32_t n) {
    if (n == 0) {
        return true;
    }
    uint32_t c = state->count.load();
    do {
        if (n > uint32_t(maxCount) || c > uint32_t(maxCount) - n) {
            return false;
        }
    } while (!state->count.compare_exchange_weak(c, c + n));
    futexWake(&state->count, n > uint32_t(INT_MAX) ? INT_MAX : int(n));
    return true;
}

void dbCountingSemaphore::drain() {
    while (wait(0)) {
    }
}

void dbCountingSemaphore::close() {
    if (state != nullptr) {
        closeState(state, segment);
    }
}

// ---------------------------------------------------------------------------------------------
// dbProcessSection

namespace {

void initSection(SectionState* s) {
    s->owner.store(0);
    s->wakeSeq.store(0);
    s->waiters.store(0);
}

// A process's token: its pid and its start time (clock ticks since boot), so a pid reused by a
// later process never passes for the process that held the section. 0 when there is no such
// process.
uint64_t processToken(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) {
        return 0;
    }
    char buf[1024];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');  // the command name may hold spaces and parentheses
    if (p == nullptr) {
        return 0;
    }
    if (p[1] == ' ' && (p[2] == 'Z' || p[2] == 'X')) {
        return 0;  // dead, only not yet reaped by its parent
    }
    // The fields after the name start with the 3rd (state); the start time is the 22nd.
    unsigned long long start = 0;
    int field = 2;
    for (const char* q = p + 1; *q != 0 && field < 22; q++) {
        if (*q == ' ') {
            field++;
            if (field == 22) {
                start = strtoull(q + 1, nullptr, 10);
            }
        }
    }
    return (uint64_t(uint32_t(pid)) << 32) | uint32_t(start);
}

std::atomic<uint64_t> ownToken{0};

void forgetOwnToken() {
    ownToken.store(0);
}

// The calling process's token, computed once per process (a forked child computes its own).
uint64_t selfToken() {
    static const int registered = pthread_atfork(nullptr, nullptr, forgetOwnToken);
    (void)registered;
    uint64_t t = ownToken.load(std::memory_order_relaxed);
    if (t == 0) {
        t = processToken(getpid());
        if (t == 0) {
            t = uint64_t(uint32_t(getpid())) << 32;  // no /proc: the pid alone
        }
        ownToken.store(t, std::memory_order_relaxed);
    }
    return t;
}

bool processAlive(uint64_t token) {
    const pid_t pid = pid_t(token >> 32);
    const uint64_t now = processToken(pid);
    if (now == 0 && uint32_t(token) == 0) {
        return kill(pid, 0) == 0 || errno == EPERM;  // a token made without /proc
    }
    return now == token;
}

// How long a waiter sleeps before it looks whether the holder still exists.
const uint32_t kHolderCheckMs = 100;

}  // namespace

bool dbProcessSection::create(const char* name, int32_t* counter) {
    close();
    *counter = 1;
    state = openState<SectionState>(name, segment, false, initSection);
    count = counter;
    return state != nullptr;
}

bool dbProcessSection::open(const char* name, int32_t* counter) {
    close();
    state = openState<SectionState>(name, segment, true, initSection);
    count = counter;
    return state != nullptr;
}

void dbProcessSection::enter() {
    std::atomic_ref<int32_t>(*count).fetch_sub(1);
    const uint64_t me = selfToken();
    for (;;) {
        uint64_t holder = 0;
        if (state->owner.compare_exchange_strong(holder, me)) {
            return;
        }
        const uint32_t seq = state->wakeSeq.load();
        state->waiters.fetch_add(1);
        int rc = WAIT_OBJECT_0;
        if (state->owner.load() != 0) {
            rc = futexWaitUntil(&state->wakeSeq, seq, kHolderCheckMs,
                                [&] { return state->wakeSeq.load() != seq; });
        }
        state->waiters.fetch_sub(1);
        SYNC_ASSERT(rc == WAIT_OBJECT_0 || rc == WAIT_TIMEOUT);
        holder = state->owner.load();
        if (rc == WAIT_TIMEOUT && holder != 0 && holder != me && !processAlive(holder) &&
            state->owner.compare_exchange_strong(holder, me)) {
            // The holder died inside the section: take it over and count its missing leave.
            std::atomic_ref<int32_t>(*count).fetch_add(1);
            return;
        }
    }
}

void dbProcessSection::leave() {
    std::atomic_ref<int32_t>(*count).fetch_add(1);
    state->owner.store(0);
    // A waiter counts itself before it looks at the owner, so either it sees the section
    // free or this leave sees it waiting and moves the futex word it sleeps on.
    if (state->waiters.load() != 0) {
        state->wakeSeq.fetch_add(1);
        futexWake(&state->wakeSeq, 1);
    }
}

void dbProcessSection::close() {
    if (state != nullptr) {
        closeState(state, segment);
    }
    count = nullptr;
}

// ---------------------------------------------------------------------------------------------
// dbOpenGate: byte 0 of the gate object serialises the openers' decision (held exclusively by
// the first opener until done), byte 1 is held shared by every opener for the life of its open.

int dbOpenGate::open(const char* name) {
    close();
    char buf[256];
    path = dbNamedObjectPath(name, buf, sizeof buf);
    for (int attempt = 0; attempt < 1000; attempt++) {
        fd = openOwned(path.c_str(), true);
        if (fd < 0) {
            return 0;
        }
        if (!lockByte(fd, F_WRLCK, 0, true)) {
            break;
        }
        if (isUnlinked(fd)) {
            ::close(fd);
            fd = -1;
            continue;
        }
        if (lockByte(fd, F_WRLCK, 1, false)) {
            // Nobody has the database open: this opener initialises.
            lockByte(fd, F_RDLCK, 1, false);
            owner = true;
            return 2;
        }
        if (!lockByte(fd, F_RDLCK, 1, true)) {
            break;
        }
        lockByte(fd, F_UNLCK, 0, false);
        return 1;
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    return 0;
}

void dbOpenGate::done() {
    if (owner) {
        lockByte(fd, F_UNLCK, 0, false);
        owner = false;
    }
}

bool dbOpenGate::close() {
    if (fd >= 0) {
        done();
        // The last opener removes the gate, unless another opener is deciding right now.
        if (lockByte(fd, F_WRLCK, 0, false) && lockByte(fd, F_WRLCK, 1, false) && !isUnlinked(fd)) {
            shm_unlink(path.c_str());
        }
        unlockAll(fd);
        ::close(fd);
        fd = -1;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// dbSharedBlock

bool dbSharedBlock::open(const char* name, size_t size) {
    close();
    auto* seg = new NamedSegment();
    if (!seg->open(name, size, false, fresh)) {
        delete seg;
        return false;
    }
    if (fresh) {
        seg->publish();
    }
    segment = seg;
    ptr = seg->addr;
    return true;
}

void dbSharedBlock::close() {
    if (segment != nullptr) {
        segment->close();
        delete segment;
        segment = nullptr;
        ptr = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// dbThread

namespace {

struct ThreadStart {
    dbThreadProc proc;
    void* arg;
};

void* threadTrampoline(void* p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.proc(start.arg);
    return nullptr;
}

}  // namespace

bool dbThread::create(dbThreadProc proc, void* arg) {
    destroy();
    auto* start = new ThreadStart{proc, arg};
    if (pthread_create(&thread, nullptr, threadTrampoline, start) != 0) {
        delete start;
        return false;
    }
    started = true;
    return true;
}

void dbThread::join() {
    if (started) {
        pthread_join(thread, nullptr);
        started = false;
    }
}

void dbThread::destroy() {
    if (started) {
        pthread_detach(thread);
        started = false;
    }
}

uint32_t dbThread::getCurrentThreadId() {
    return uint32_t(gettid());
}

int dbThread::numberOfProcessors() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
}

pthread_key_t dbAllocThreadSlot() {
    const int TLS_OUT_OF_INDEXES = -1;
    pthread_key_t key;
    const int index = pthread_key_create(&key, nullptr) == 0 ? 0 : TLS_OUT_OF_INDEXES;
    SYNC_ASSERT(index != TLS_OUT_OF_INDEXES);
    return key;
}

void dbFreeThreadSlot(pthread_key_t key) {
    pthread_key_delete(key);
}

// ---------------------------------------------------------------------------------------------
// dbThreadPool

dbPooledThread::dbPooledThread(dbThreadPool* owner)
    : pool(owner), next(nullptr), f(nullptr), arg(nullptr), running(1) {
    startSem.open(nullptr, 0);
    readyEvent.open(nullptr, false);
    thread.create(loop, this);
}

dbPooledThread::~dbPooledThread() {
    // The thread has signalled that it stops; wait until it is gone before its objects go.
    thread.join();
}

void dbPooledThread::loop(void* self) {
    auto* t = static_cast<dbPooledThread*>(self);
    for (;;) {
        t->startSem.wait(dbWaitForever);
        if (!t->running) {
            break;
        }
        t->f(t->arg);
        t->readyEvent.signal();
    }
    t->readyEvent.signal();
}

dbPooledThread* dbThreadPool::create(dbThreadProc f, void* arg) {
    dbPooledThread* t;
    {
        dbCriticalSection cs(mutex);
        t = freeThreads;
        if (t != nullptr) {
            freeThreads = t->next;
        } else {
            t = new dbPooledThread(this);
        }
    }
    t->next = nullptr;
    t->f = f;
    t->arg = arg;
    t->readyEvent.reset();
    t->startSem.signal(1);
    return t;
}

void dbThreadPool::join(dbPooledThread* thr) {
    thr->readyEvent.wait(dbWaitForever);
    dbCriticalSection cs(mutex);
    thr->next = freeThreads;
    freeThreads = thr;
}

dbThreadPool::~dbThreadPool() {
    mutex.lock();
    dbPooledThread* t = freeThreads;
    while (t != nullptr) {
        dbPooledThread* following = t->next;
        t->running = 0;
        t->readyEvent.reset();  // its last job left the event signalled
        t->startSem.signal(1);
        mutex.unlock();
        int rc = t->readyEvent.rawWait(dbWaitForever);
        mutex.lock();
        if (rc != WAIT_OBJECT_0 && rc != WAIT_TIMEOUT) {
            dbAssertionFailed("rc == WAIT_TIMEOUT", kSourceFile, __LINE__);
        }
        delete t;
        t = following;
    }
    freeThreads = nullptr;
    mutex.unlock();
}

// ---------------------------------------------------------------------------------------------
// dbSymbolTable

dbSymbolTable::dbSymbolTable() = default;

dbSymbolTable::~dbSymbolTable() {
    for (HashTableItem*& head : buckets) {
        HashTableItem* item = head;
        while (item != nullptr) {
            HashTableItem* next = item->next;
            if (item->allocated) {
                delete[] item->str;
            }
            delete item;
            item = next;
        }
        head = nullptr;
    }
}

uint32_t dbSymbolTable::hashOf(const char* name) {
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != 0; p++) {
        h = h * 31 + *p;
    }
    return h;
}

dbSymbolTable& dbSymbolTable::processTable() {
    static dbSymbolTable table;
    return table;
}

int32_t dbSymbolTable::add(const char*& name, int32_t tag, bool copy) {
    return processTable().insert(name, tag, copy);
}

int32_t dbSymbolTable::insert(const char*& name, int32_t tag, bool copy) {
    dbCriticalSection cs(mutex);
    const uint32_t hash = hashOf(name);
    HashTableItem*& head = buckets[hash % hashTableSize];
    for (HashTableItem* item = head; item != nullptr; item = item->next) {
        if (item->hash == hash && strcmp(item->str, name) == 0) {
            name = item->str;
            return item->tag;
        }
    }
    auto* item = new HashTableItem;
    item->allocated = false;
    if (copy) {
        const size_t len = strlen(name) + 1;
        char* dup = new char[len];
        memcpy(dup, name, len);
        name = dup;
        item->allocated = true;
    }
    item->str = name;
    item->hash = hash;
    item->tag = tag;
    item->next = head;
    head = item;
    return tag;
}

// ---------------------------------------------------------------------------------------------
// dbException, dbSmallBuffer

namespace {

char* copyText(const char* s) {
    if (s == nullptr) {
        return nullptr;
    }
    const size_t len = strlen(s) + 1;
    char* dup = new char[len];
    memcpy(dup, s, len);
    return dup;
}

}  // namespace

dbException::dbException(int32_t code, const char* text, int32_t argument)
    : errCode(code), msg(copyText(text)), arg(argument) {}

dbException::dbException(const dbException& other)
    : std::exception(other), errCode(other.errCode), msg(copyText(other.msg)), arg(other.arg) {}

dbException& dbException::operator=(const dbException& other) {
    if (this != &other) {
        char* copy = copyText(other.msg);
        delete[] msg;
        msg = copy;
        errCode = other.errCode;
        arg = other.arg;
    }
    return *this;
}

dbException::~dbException() {
    delete[] msg;
}

dbSmallBuffer::dbSmallBuffer(size_t size) : requested(size) {
    buf = size <= inlineSize ? smallBuf : new char[size];
}

dbSmallBuffer::~dbSmallBuffer() {
    if (buf != smallBuf) {
        delete[] buf;
    }
}
