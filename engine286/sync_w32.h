// The engine's operating-system building blocks: in-process locks, named cross-process
// events, semaphores and critical sections, the open gate that picks the first opener of a
// database, named shared memory, threads, per-thread slots, the thread pool, the symbol
// table, the engine's exception and a stack buffer with heap fallback.
//
// Named objects live in POSIX shared memory under a name built from the object name and the
// effective uid, so two users never share an object. Every holder of a named object keeps a
// kernel-released lock on it for as long as it has it open: whoever opens a name that nobody
// else holds starts from a fresh object, exactly as if the object had vanished with its last
// handle, so a process that crashed never leaves stale state or a hang for the next opener.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

// Waits without a time limit when given as a timeout (all bits set).
constexpr uint32_t dbWaitForever = 0xFFFFFFFFu;

// Stops the process after printing "Assertion failed: COND, file FILE, line LINE". Used for
// internal faults that the engine does not survive (a failed wait, no thread-local slot).
[[noreturn]] void dbAssertionFailed(const char* condition, const char* file, int line);

// Milliseconds from an arbitrary fixed point (monotonic), truncated to 32 bits.
uint32_t dbGetTickCount();

// ---------------------------------------------------------------------------------------------
// In-process locks

// Recursive in-process lock. Lock and unlock do nothing while `initialized` is clear, so a
// static mutex used before its construction or after its destruction is harmless.
class dbMutex {
  public:
    dbMutex();
    ~dbMutex();
    dbMutex(const dbMutex&) = delete;
    dbMutex& operator=(const dbMutex&) = delete;

    void lock();
    void unlock();
    bool isInitialized() const { return initialized.load(std::memory_order_acquire); }

  private:
    friend class dbWaitEvent;
    pthread_mutex_t cs;
    std::atomic<bool> initialized;
};

// Scope guard: locks the mutex for its lifetime.
class dbCriticalSection {
  public:
    explicit dbCriticalSection(dbMutex& m) : mutex(m) { mutex.lock(); }
    ~dbCriticalSection() { mutex.unlock(); }
    dbCriticalSection(const dbCriticalSection&) = delete;
    dbCriticalSection& operator=(const dbCriticalSection&) = delete;

  private:
    dbMutex& mutex;
};

// ---------------------------------------------------------------------------------------------
// Named objects

namespace engine286_detail {
struct NamedSegment;
struct EventState;
struct SemaphoreState;
struct SectionState;
}  // namespace engine286_detail

// The shared-memory name under which the named object `name` of the current user lives:
// "/kdb.<uid>.<name>", with characters outside [A-Za-z0-9._-] replaced and a hash of the full
// name appended when anything was replaced or the name is too long. Exposed for tests and tools.
const char* dbNamedObjectPath(const char* name, char* buffer, size_t bufferSize);

// Manual-reset event, named (shared by every process of this user that opens the name) or
// unnamed (this process only).
class dbWaitEvent {
  public:
    dbWaitEvent() = default;
    ~dbWaitEvent() { close(); }
    dbWaitEvent(const dbWaitEvent&) = delete;
    dbWaitEvent& operator=(const dbWaitEvent&) = delete;

    // Opens (or creates) the event; `signaled` is its state when it is created fresh.
    bool open(const char* name = nullptr, bool signaled = false);
    void signal();
    void reset();
    // Unlocks `mutex`, waits until signalled, locks `mutex` again. Callers re-check their
    // condition afterwards.
    void wait(dbMutex& mutex);
    // As above but gives up after `timeoutMs`; the result is true when signalled.
    bool wait(dbMutex& mutex, uint32_t timeoutMs);
    // True when signalled, false when the time ran out.
    bool wait(uint32_t timeoutMs);
    void close();
    bool isOpen() const { return state != nullptr; }

  private:
    friend class dbThreadPool;
    int rawWait(uint32_t timeoutMs);
    engine286_detail::EventState* state = nullptr;
    engine286_detail::NamedSegment* segment = nullptr;
};

// Named counting semaphore with a maximum count of 1000000.
class dbCountingSemaphore {
  public:
    static constexpr int32_t maxCount = 1000000;

    dbCountingSemaphore() = default;
    ~dbCountingSemaphore() { close(); }
    dbCountingSemaphore(const dbCountingSemaphore&) = delete;
    dbCountingSemaphore& operator=(const dbCountingSemaphore&) = delete;

    // Opens (or creates) the semaphore; `initCount` is its count when it is created fresh.
    // A null name makes a semaphore private to this process.
    bool open(const char* name, uint32_t initCount = 0);
    // True when a unit was taken, false when the time ran out.
    bool wait(uint32_t timeoutMs = dbWaitForever);
    // Adds `n` units (nothing when 0); false when that would pass the maximum.
    bool signal(uint32_t n = 1);
    // Takes units with zero timeout until none is left.
    void drain();
    void close();
    bool isOpen() const { return state != nullptr; }

  private:
    engine286_detail::SemaphoreState* state = nullptr;
    engine286_detail::NamedSegment* segment = nullptr;
};

// Critical section shared between processes. `counter` points at a 32-bit word in shared
// memory: 1 when free, 0 when held, -k when held with k waiters. The section is held by a
// process, not a thread (as with the event it stands for, any thread of the process that
// entered may leave), through a lock word under `name` that takes no system call when free.
// A process killed inside does not block the others: a waiter finds the holder gone, takes
// over and counts the missing leave.
class dbProcessSection {
  public:
    dbProcessSection() = default;
    ~dbProcessSection() { close(); }
    dbProcessSection(const dbProcessSection&) = delete;
    dbProcessSection& operator=(const dbProcessSection&) = delete;

    // First opener: sets the counter to 1 and makes the section fresh.
    bool create(const char* name, int32_t* counter);
    // Later openers: the section must exist already.
    bool open(const char* name, int32_t* counter);
    void enter();
    void leave();
    void close();
    bool isOpen() const { return state != nullptr; }

  private:
    engine286_detail::SectionState* state = nullptr;
    engine286_detail::NamedSegment* segment = nullptr;
    int32_t* count = nullptr;
};

// Decides the first opener of a database. open() returns 2 to the first opener (nobody else
// has the database open; it owns the gate and initialises, then calls done()), 1 to a later
// opener (after the first opener's done()), 0 on failure. Every opener stays registered until
// close(), and the kernel drops the registration of a process that dies.
class dbOpenGate {
  public:
    dbOpenGate() = default;
    ~dbOpenGate() { close(); }
    dbOpenGate(const dbOpenGate&) = delete;
    dbOpenGate& operator=(const dbOpenGate&) = delete;

    int open(const char* name);
    void done();
    // Always false: the shared objects are not erased through the gate.
    bool close();

  private:
    int fd = -1;
    bool owner = false;
    std::string path;
};

// Named block of shared memory, read-write. A block that nobody else has open is zeroed.
class dbSharedBlock {
  public:
    dbSharedBlock() = default;
    ~dbSharedBlock() { close(); }
    dbSharedBlock(const dbSharedBlock&) = delete;
    dbSharedBlock& operator=(const dbSharedBlock&) = delete;

    bool open(const char* name, size_t size);
    void close();
    void* get() const { return ptr; }
    // True when the last open found nobody else holding the block (its contents were fresh).
    bool isFresh() const { return fresh; }

  private:
    void* ptr = nullptr;
    engine286_detail::NamedSegment* segment = nullptr;
    bool fresh = false;
};

// ---------------------------------------------------------------------------------------------
// Threads

typedef void (*dbThreadProc)(void* arg);

class dbThread {
  public:
    dbThread() = default;
    ~dbThread() { destroy(); }
    dbThread(const dbThread&) = delete;
    dbThread& operator=(const dbThread&) = delete;

    // Starts `proc(arg)` on a new thread with the default stack size.
    bool create(dbThreadProc proc, void* arg);
    // Waits for the thread to end and forgets it.
    void join();
    // Forgets the thread without waiting (it runs on, detached).
    void destroy();
    bool isRunning() const { return started; }

    // Operating-system id of the calling thread.
    static uint32_t getCurrentThreadId();
    static int numberOfProcessors();

  private:
    pthread_t thread{};
    bool started = false;
};

// Allocates and frees the key behind dbThreadContext (stops the process when none is left).
pthread_key_t dbAllocThreadSlot();
void dbFreeThreadSlot(pthread_key_t key);

// One pointer per thread; the slot is allocated at construction and freed at destruction.
template <class T>
class dbThreadContext {
  public:
    dbThreadContext() : key(dbAllocThreadSlot()) {}
    ~dbThreadContext() { dbFreeThreadSlot(key); }
    dbThreadContext(const dbThreadContext&) = delete;
    dbThreadContext& operator=(const dbThreadContext&) = delete;

    T* get() const { return static_cast<T*>(pthread_getspecific(key)); }
    void set(T* value) { pthread_setspecific(key, value); }

  private:
    pthread_key_t key;
};

// Node of a circular doubly linked list; an empty list or an unlinked node points to itself.
class dbL2List {
  public:
    dbL2List* next;
    dbL2List* prev;

    dbL2List() { next = prev = this; }
    ~dbL2List() { unlink(); }
    dbL2List(const dbL2List&) = delete;
    dbL2List& operator=(const dbL2List&) = delete;

    // Inserts `node` directly after this head.
    void link(dbL2List* node) {
        node->next = next;
        node->prev = this;
        next->prev = node;
        next = node;
    }
    void unlink() {
        next->prev = prev;
        prev->next = next;
        next = prev = this;
    }
    bool isEmpty() const { return next == this; }
};

// Per-thread transaction record of one database. The list link comes first, so a node of the
// database's context list is the context itself.
class dbDatabaseThreadContext : public dbL2List {
  public:
    int32_t readAccess = 0;
    int32_t writeAccess = 0;
    int32_t concurrentId = 0;
    int32_t mutatorLocked = 0;
    dbL2List cursors;
    uint32_t threadId;
    uint8_t commitDelayed = 0;
    uint8_t removeContext = 0;

    dbDatabaseThreadContext() : threadId(dbThread::getCurrentThreadId()) {}
};

class dbThreadPool;

class dbPooledThread {
  public:
    dbThread thread;
    dbThreadPool* pool;
    dbPooledThread* next;
    dbThreadProc f;
    void* arg;
    int32_t running;
    dbCountingSemaphore startSem;
    dbWaitEvent readyEvent;

    explicit dbPooledThread(dbThreadPool* owner);
    ~dbPooledThread();

  private:
    static void loop(void* self);
};

// Threads that run one routine at a time and are kept for reuse. create() starts `f(arg)` on
// an idle pooled thread (or a new one); join() waits for that routine and returns the thread
// to the pool. Destroying the pool stops every idle thread.
class dbThreadPool {
  public:
    dbThreadPool() = default;
    ~dbThreadPool();
    dbThreadPool(const dbThreadPool&) = delete;
    dbThreadPool& operator=(const dbThreadPool&) = delete;

    dbPooledThread* create(dbThreadProc f, void* arg);
    void join(dbPooledThread* thr);

  private:
    dbPooledThread* freeThreads = nullptr;
    dbMutex mutex;
};

// ---------------------------------------------------------------------------------------------
// Symbol table, exception, small buffer

// Table of interned names. The process-wide table (add) is created on first use, which
// happens during single-threaded start-up (descriptor construction).
class dbSymbolTable {
  public:
    static constexpr unsigned hashTableSize = 1009;

    struct HashTableItem {
        HashTableItem* next;
        const char* str;
        uint32_t hash;
        int32_t tag;
        bool allocated;
    };

    dbSymbolTable();
    ~dbSymbolTable();
    dbSymbolTable(const dbSymbolTable&) = delete;
    dbSymbolTable& operator=(const dbSymbolTable&) = delete;

    // Interns `name` in the process-wide table. On return `name` points at the interned text
    // (an owned copy when `copy` was asked for a new name); the result is the entry's tag.
    static int32_t add(const char*& name, int32_t tag, bool copy = false);
    // The same on this table.
    int32_t insert(const char*& name, int32_t tag, bool copy = false);

    static uint32_t hashOf(const char* name);
    static dbSymbolTable& processTable();

  private:
    HashTableItem* buckets[hashTableSize] = {};
    dbMutex mutex;
};

// The engine's exception: an error code, an owned copy of the message (or null) and an
// argument (a byte count, an operating-system error code, ...).
class dbException : public std::exception {
  public:
    dbException(int32_t errCode, const char* msg = nullptr, int32_t arg = 0);
    dbException(const dbException& other);
    dbException& operator=(const dbException& other);
    ~dbException() override;

    int32_t getErrCode() const { return errCode; }
    const char* getMsg() const { return msg; }
    int32_t getArg() const { return arg; }
    const char* what() const noexcept override { return msg != nullptr ? msg : "dbException"; }

  private:
    int32_t errCode;
    char* msg;
    int32_t arg;
};

// Scratch buffer: up to 512 bytes inline, larger requests on the heap.
class dbSmallBuffer {
  public:
    static constexpr size_t inlineSize = 512;

    explicit dbSmallBuffer(size_t size);
    ~dbSmallBuffer();
    dbSmallBuffer(const dbSmallBuffer&) = delete;
    dbSmallBuffer& operator=(const dbSmallBuffer&) = delete;

    char* base() { return buf; }
    size_t size() const { return requested; }
    bool isInline() const { return buf == smallBuf; }
    operator char*() { return buf; }

  private:
    char smallBuf[inlineSize];
    char* buf;
    size_t requested;
};
