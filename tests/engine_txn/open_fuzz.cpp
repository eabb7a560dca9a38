// libFuzzer target: opens mutated store files. The first input byte picks the shape:
//   0          the rest of the input is the whole file;
//   1, 2, 3    the rest is a list of (32-bit offset, byte) patches applied to a sound store
//              with rows and both kinds of index (2 also marks it dirty, 3 also cuts its end).
// An open must either fail or give a store that works (read, insert, commit, close) and passes
// the integrity check afterwards (space leaked by the damage itself aside); anything else - a
// crash, a sanitizer report, a hang, an unsound store after a successful open - is a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cursor.h"
#include "database.h"
#include "integrity.h"

class FuzzRow {
  public:
    int32_t key = 0;
    const char* text = nullptr;
    KEST_DESCRIBE(FuzzRow, KEST_KEY(key, HASHED | INDEXED), KEST_FIELD(text));
};
KEST_REGISTER(FuzzRow);

namespace {

std::string folder() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/kest_open_fuzz_XXXXXX";
        const char* p = mkdtemp(tmpl);
        return std::string(p != nullptr ? p : "/tmp");
    }();
    return dir;
}

std::vector<char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string name() {
    return "fuzz_" + std::to_string(getpid());
}

// A sound store with some rows, built once.
const std::vector<char>& seedStore() {
    static std::vector<char> seed = [] {
        const std::string path = folder() + "/seed.fdb";
        unlink(path.c_str());
        dbDatabase db;
        if (!db.openDatabase((name() + "_seed").c_str(), path.c_str())) {
            abort();
        }
        for (int i = 0; i < 40; i++) {
            FuzzRow r;
            r.key = i * 7 % 13;
            std::string text(size_t(1 + i * 5), char('a' + i % 26));
            r.text = text.c_str();
            db.insertRecord(&FuzzRow::dbDescriptor, &r);
        }
        db.commitTransaction();
        db.closeDatabase();
        return readAll(path);
    }();
    return seed;
}

void exercise(dbDatabase& db) {
    dbCursor<FuzzRow> c(dbCursorForUpdate);
    if (c.select() > 0) {
        c->key += 1;
        c.update();
        c.remove();
    }
    FuzzRow r;
    r.key = 5;
    r.text = "inserted";
    db.insertRecord(&FuzzRow::dbDescriptor, &r);
    db.commitTransaction();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::vector<char> file;
    const int shape = data[0] & 3;
    if (shape == 0) {
        file.assign(reinterpret_cast<const char*>(data) + 1,
                    reinterpret_cast<const char*>(data) + size);
    } else {
        file = seedStore();
        for (size_t i = 1; i + 5 <= size; i += 5) {
            uint32_t offset;
            memcpy(&offset, data + i, 4);
            file[offset % file.size()] = char(data[i + 4]);
        }
        if (shape == 2) {
            file[offsetof(dbHeader, dirty)] = 1;
        }
        if (shape == 3 && size >= 3) {
            const size_t cut = (size_t(data[1]) << 8 | data[2]) * 16;
            file.resize(file.size() > cut ? file.size() - cut : 0);
        }
    }
    const std::string path = folder() + "/input.fdb";
    writeAll(path, file);

    dbDatabase db;
    fflush(stderr);
    const int saved = dup(2);
    const int devnull = ::open("/dev/null", O_WRONLY);
    dup2(devnull, 2);  // the engine reports failed opens on standard error
    bool opened = false;
    try {
        opened = db.openDatabase(name().c_str(), path.c_str());
        if (opened) {
            exercise(db);
            db.closeDatabase();
        }
    } catch (const dbException&) {
        // a store that opened must keep working
        dup2(saved, 2);
        fprintf(stderr, "engine exception after a successful open\n");
        abort();
    }
    dup2(saved, 2);
    close(saved);
    close(devnull);
    if (opened) {
        const std::vector<std::string> faults = dbCheckFile(path.c_str(), true);
        for (const std::string& f : faults) {
            fprintf(stderr, "unsound after a successful open: %s\n", f.c_str());
        }
        if (!faults.empty()) {
            abort();
        }
    }
    return 0;
}
