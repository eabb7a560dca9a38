// kstool create and kstool check, run as programs: a created store is the client's store and
// passes the check; damage to the committed state makes the check exit non-zero.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_format.h"
#include "txn_fixture.h"

namespace {

int run(const std::string& args) {
    const std::string cmd = std::string(KSTOOL_PATH) + " " + args + " > /dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Kstool, CreateWritesTheClientStoreAndCheckFindsDamage) {
    txntest::TempDir dir;
    const std::string file = dir.file("client.kst");
    ASSERT_EQ(run("create " + file), 0);
    EXPECT_EQ(txntest::readBytes(file).size(), 1048576u);
    EXPECT_EQ(run("create " + file), 1) << "create must not touch an existing store";
    EXPECT_EQ(run("check " + file), 0);

    const std::vector<char> good = txntest::readBytes(file);
    dbHeader h;
    memcpy(&h, good.data(), sizeof h);
    const uint32_t indexOffset = h.root[h.currentRoot].indexOffset;
    struct Case {
        const char* what;
        size_t offset;
        uint32_t value;
    };
    const Case cases[] = {
        {"root index 2", 4, 2},
        {"a table row id pointing at free space", indexOffset + 4 * (dbFirstUserId + 1), 1040000},
        {"the \"Metatable\" row freed", indexOffset + 4 * dbMetaTableId, dbFreeHandleFlag},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> bad = good;
        memcpy(bad.data() + c.offset, &c.value, 4);
        txntest::writeBytes(file, bad);
        EXPECT_EQ(run("check " + file), 1);
    }
    EXPECT_EQ(run("check " + dir.file("missing.kst")), 1);
}
