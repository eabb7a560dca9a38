// Shared helpers of the transaction, cursor and local-store tests: a private temporary folder
// per test, database names unique across concurrently running test processes, file bytes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace txntest {

inline std::string uniqueName(const char* stem) {
    static int counter = 0;
    return std::string(stem) + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

inline std::vector<char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A fresh folder removed with everything in it when the test ends.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kest_txn_XXXXXX";
        const char* p = mkdtemp(tmpl);
        if (p == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        path = p;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

}  // namespace txntest
