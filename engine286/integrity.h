// Integrity check of a database file's committed state, shared by the engine's open (which
// refuses a file whose structure would make it read outside the file) and `kstool check`.
//
// What is checked, on the root named by the header's currentRoot:
//   structure  header fields; both index arrays and every live object inside the file and
//              properly aligned; the free-id chain; every "Metatable" row and every table row
//              with its strings and arrays inside the row; row chains (first/last/prev/next
//              and nRows agree); hash tables and T-trees well formed (no cycles, right kinds);
//              a clean file's working root equal to the committed one.
//   content    every bitmap bit set exactly for the quanta of reachable
//              objects; every index holds exactly the rows of its table, hash items in the
//              bucket of their key, tree keys in order and tree pages balanced.
// A dirty file (a crash before a clean close) is checked as the next opener will see it after
// recovery: its working root is ignored and a dangling `next` of a table's last row is allowed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "file_format.h"

// Everything that the engine relies on when it follows the file: structure and content, with
// space that is marked used but unreachable (a leak) tolerated. On failure `why` names the
// first fault. `base` maps `size` bytes of file. The open of a first opener runs it.
bool dbCheckCommittedStructure(const byte* base, size_t size, std::string& why);

// Structure and content of a mapped file image; returns every fault found (empty when sound).
// With `tolerateLeaks`, space marked used that nothing reaches is not reported.
std::vector<std::string> dbCheckImage(const byte* base, size_t size, bool tolerateLeaks = false);

// Maps `path` read-only and checks it; a file that cannot be read is one fault.
std::vector<std::string> dbCheckFile(const char* path, bool tolerateLeaks = false);
