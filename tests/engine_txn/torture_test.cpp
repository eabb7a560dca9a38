// Crash torture: a child process runs random inserts, updates, removes and commits on a store
// and reports through a pipe the content checksum it is about to commit ("P") and each commit
// it completed ("C"). The parent kills it with SIGKILL at a random moment, checks the file as
// it lies on disk, reopens it (recovery) and requires the content to be exactly the last
// completed commit or the one in flight - never a mixture - and the store sound after close.
// Bounded by a round count and a time budget.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "cursor.h"
#include "database.h"
#include "integrity.h"
#include "txn_fixture.h"

class TortureRow {
  public:
    int32_t key = 0;
    const char* text = nullptr;
    KEST_DESCRIBE(TortureRow, KEST_KEY(key, HASHED | INDEXED), KEST_FIELD(text));
};
KEST_REGISTER(TortureRow);

namespace {

constexpr int kMaxRounds = 40;
constexpr auto kBudget = std::chrono::seconds(25);

uint64_t rowHash(int32_t key, const char* text) {
    uint64_t h = 1469598103934665603ull ^ uint32_t(key);
    for (const char* p = text; *p; p++) {
        h = (h ^ uint8_t(*p)) * 1099511628211ull;
    }
    return h * 0x9E3779B97F4A7C15ull;
}

// Order-independent checksum of the table's content.
uint64_t contentChecksum(std::map<oid_t, std::pair<int32_t, std::string>>* rows = nullptr) {
    uint64_t sum = 0;
    dbCursor<TortureRow> c;
    int n = c.select();
    for (oid_t id = c.getOid(); id != 0 && n-- > 0;) {
        sum += rowHash(c->key, c->text);
        if (rows != nullptr) {
            (*rows)[id] = {c->key, c->text};
        }
        id = reinterpret_cast<const dbRecord*>(c.db->objectAt(id))->next;
        if (id != 0) {
            c.currentId = id;
            c.fetch();
        }
    }
    return sum;
}

void report(int fd, char kind, uint64_t sum) {
    char line[64];
    const int n = snprintf(line, sizeof line, "%c %016llx\n", kind, (unsigned long long)sum);
    (void)!write(fd, line, size_t(n));
}

// The child's endless work; it only ends by the parent's SIGKILL (or the alarm).
[[noreturn]] void work(const std::string& name, const std::string& file, int out, unsigned seed) {
    alarm(30);
    dbDatabase db;
    if (!db.openDatabase(name.c_str(), file.c_str())) {
        _exit(2);
    }
    std::mt19937 rng(seed);
    std::map<oid_t, std::pair<int32_t, std::string>> rows;
    contentChecksum(&rows);
    db.commitTransaction();
    for (;;) {
        const int ops = 1 + int(rng() % 25);
        for (int i = 0; i < ops; i++) {
            const unsigned what = rng() % 10;
            std::string text(1 + rng() % (rng() % 8 == 0 ? 5000 : 200), char('a' + rng() % 26));
            const int32_t key = int32_t(rng() % 1000);
            if (what < 5 || rows.empty()) {
                TortureRow r;
                r.key = key;
                r.text = text.c_str();
                rows[db.insertRecord(&TortureRow::dbDescriptor, &r)] = {key, text};
            } else {
                auto it = rows.begin();
                std::advance(it, rng() % rows.size());
                if (what < 8) {
                    TortureRow r;
                    r.key = key;
                    r.text = text.c_str();
                    db.updateRecord(it->first, &TortureRow::dbDescriptor, &r);
                    it->second = {key, text};
                } else {
                    db.removeRecord(&TortureRow::dbDescriptor, it->first);
                    rows.erase(it);
                }
            }
        }
        uint64_t sum = 0;
        for (auto& [id, row] : rows) {
            sum += rowHash(row.first, row.second.c_str());
        }
        report(out, 'P', sum);
        db.commitTransaction();
        report(out, 'C', sum);
    }
}

}  // namespace

TEST(CrashTorture, KilledWriterLeavesTheLastCommitOrTheOneInFlight) {
    txntest::TempDir dir;
    const std::string name = txntest::uniqueName("torture");
    const std::string file = dir.file("torture.fdb");
    uint64_t committed = 0;
    {
        dbDatabase db;
        ASSERT_TRUE(db.openDatabase(name.c_str(), file.c_str()));
        db.closeDatabase();
    }
    std::mt19937 rng(20261211);
    const auto start = std::chrono::steady_clock::now();
    int rounds = 0;
    int killedInFlight = 0;
    int commits = 0;
    for (; rounds < kMaxRounds && std::chrono::steady_clock::now() - start < kBudget; rounds++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const unsigned seed = unsigned(rng());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            work(name, file, fds[1], seed);
        }
        close(fds[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 400));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;

        // Everything the child reported before it died.
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) {
            text.append(buf, size_t(n));
        }
        close(fds[0]);
        bool inFlight = false;
        uint64_t pending = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            const size_t end = text.find('\n', pos);
            if (end == std::string::npos) {
                break;  // a line cut by the kill
            }
            const char kind = text[pos];
            const uint64_t sum = std::stoull(text.substr(pos + 2, end - pos - 2), nullptr, 16);
            if (kind == 'P') {
                pending = sum;
                inFlight = true;
            } else {
                committed = sum;
                inFlight = false;
                commits++;
            }
            pos = end + 1;
        }
        killedInFlight += inFlight;

        // The file as the crash left it: its committed state is sound.
        for (const std::string& f : dbCheckFile(file.c_str())) {
            ADD_FAILURE() << "round " << rounds << ", before recovery: " << f;
        }
        dbDatabase db;
        ASSERT_TRUE(db.openDatabase(name.c_str(), file.c_str())) << "round " << rounds;
        const uint64_t found = contentChecksum();
        if (inFlight && found == pending) {
            committed = pending;  // the commit in flight reached the disk
        }
        EXPECT_EQ(found, committed) << "round " << rounds << ": neither the last commit nor "
                                    << (inFlight ? "the one in flight" : "(none in flight)");
        db.commitTransaction();
        db.closeDatabase();
        for (const std::string& f : dbCheckFile(file.c_str())) {
            ADD_FAILURE() << "round " << rounds << ", after recovery: " << f;
        }
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GE(rounds, 5);
    EXPECT_GT(commits, rounds) << "the children hardly committed: the torture tested little";
    printf("%d rounds, %d commits, %d kills with a commit in flight\n", rounds, commits,
           killedInFlight);
}
