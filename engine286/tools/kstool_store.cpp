// kstool create / kstool check (see kstool_store.h).
#include "kstool_store.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "integrity.h"
#include "kestdb.h"

int kstoolCreate(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0) {
        fprintf(stderr, "kstool: %s exists already\n", path);
        return 1;
    }
    kestdbDatabase& store = kestdbStore();
    store.dropAllowed = 1;
    // The client's database name; the companion objects are also named after the file, so this
    // never meets a running client's store.
    if (!store.openDatabase("KestCRMClient", path)) {
        fprintf(stderr, "kstool: cannot create %s\n", path);
        return 1;
    }
    store.commit();
    store.close();
    printf("%s: created\n", path);
    return 0;
}

int kstoolCheck(const char* path) {
    const std::vector<std::string> faults = dbCheckFile(path);
    for (const std::string& f : faults) {
        printf("%s: %s\n", path, f.c_str());
    }
    if (!faults.empty()) {
        printf("%s: %zu fault%s\n", path, faults.size(), faults.size() == 1 ? "" : "s");
        return 1;
    }
    printf("%s: ok\n", path);
    return 0;
}
