// kstool: looks inside an engine286 database file for support staff and tests.
//
//   kstool dump FILE    the header, both roots, every table of "Metatable" with its fields and
//                       row count, and the rows of each table, read from the committed root.
//
// The tool only reads: it works on a copy of the file in memory and checks every offset and
// length it follows, so a damaged file gives "<...>" marks in the output and exit status 1,
// never a crash.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "file_format.h"
#include "kstool_store.h"
#include "schema.h"
#include "sync_w32.h"

namespace {

const char* typeName(int type) {
    switch (type) {
        case 0:
            return "bool";
        case 1:
            return "int1";
        case 2:
            return "int2";
        case 3:
            return "int4";
        case 4:
            return "int8";
        case 5:
            return "real4";
        case 6:
            return "real8";
        case 7:
            return "string";
        case 8:
            return "reference";
        case 9:
            return "array";
        case 19:
            return "structure";
        case 20:
            return "raw";
        default:
            return "?";
    }
}

class Dumper {
  public:
    explicit Dumper(std::vector<byte> image) : file(std::move(image)) {}

    int run() {
        if (file.size() < sizeof(dbHeader)) {
            printf("<file of %zu bytes is too short for a header>\n", file.size());
            return 1;
        }
        memcpy(&h, file.data(), sizeof h);
        printf("header\n");
        printf("  fileSize     %u (file has %zu bytes)\n", h.fileSize, file.size());
        printf("  currentRoot  %u\n", h.currentRoot);
        printf("  dirty        %u\n", h.dirty);
        printf("  initialized  %u\n", h.initialized);
        printf("  version      %u.%u\n", h.versionMajor, h.versionMinor);
        for (int i = 0; i < 2; i++) {
            const dbRoot& r = h.root[i];
            printf("root %d%s\n", i, uint32_t(i) == h.currentRoot ? " (committed)" : "");
            printf("  indexOffset %u indexCapacity %u shadowOffset %u shadowCapacity %u\n",
                   r.indexOffset, r.indexCapacity, r.shadowOffset, r.shadowCapacity);
            printf("  usedIds %u freeIdHead %u\n", r.usedIds, r.freeIdHead);
        }
        if (h.currentRoot > 1) {
            printf("<invalid currentRoot>\n");
            return 1;
        }
        root = h.root[h.currentRoot];
        if (uint64_t(root.indexOffset) + uint64_t(root.usedIds) * 4 > file.size() ||
            root.usedIds > root.indexCapacity || root.usedIds <= dbMetaTableId) {
            printf("<committed index outside the file>\n");
            return 1;
        }
        const dbTable* meta = table(dbMetaTableId);
        if (meta == nullptr) {
            printf("<no \"Metatable\" row>\n");
            return 1;
        }
        dumpTable(dbMetaTableId, meta, false);
        std::set<oid_t> seen;
        oid_t id = meta->firstRow;
        for (uint32_t n = 0; id != 0 && n < meta->nRows; n++) {
            if (!seen.insert(id).second) {
                bad("cycle in the table chain");
                break;
            }
            const dbTable* t = table(id);
            if (t == nullptr) {
                break;
            }
            dumpTable(id, t, true);
            id = t->next;
        }
        return faults == 0 ? 0 : 1;
    }

  private:
    std::vector<byte> file;
    dbHeader h{};
    dbRoot root{};
    int faults = 0;

    void bad(const char* what) {
        printf("  <%s>\n", what);
        faults += 1;
    }

    uint32_t entry(oid_t id) const {
        uint32_t e;
        memcpy(&e, file.data() + root.indexOffset + size_t(id) * 4, 4);
        return e;
    }

    // The row `id` of the committed root, or null (reported) when it is not a sound row.
    const byte* row(oid_t id) {
        if (id == 0 || id >= root.usedIds) {
            bad("object id out of range");
            return nullptr;
        }
        uint32_t e = entry(id);
        if ((e & dbFreeHandleFlag) || (e & dbFlagsMask) != dbRowObject || e == 0 ||
            uint64_t(e) + sizeof(dbRecord) > file.size()) {
            bad("not a row");
            return nullptr;
        }
        const byte* p = file.data() + e;
        uint32_t size;
        memcpy(&size, p, 4);
        if (size < sizeof(dbRecord) || size > file.size() - e) {
            bad("row size outside the file");
            return nullptr;
        }
        return p;
    }

    const dbTable* table(oid_t id) {
        const byte* p = row(id);
        if (p == nullptr) {
            return nullptr;
        }
        if (reinterpret_cast<const dbRecord*>(p)->size < sizeof(dbTable)) {
            bad("table row too short");
            return nullptr;
        }
        return reinterpret_cast<const dbTable*>(p);
    }

    struct Field {
        std::string name;
        std::string tableName;
        int type;
        int offset;
        int size;
        oid_t hashTable;
        oid_t tTree;
    };

    void dumpTable(oid_t id, const dbTable* t, bool withRows) {
        std::vector<Field> fields;
        std::string name;
        try {
            name = dbStoredTableName(t);
            size_t n = dbStoredFieldCount(t);
            for (size_t i = 0; i < n; i++) {
                const dbField* f = dbStoredField(t, i);
                fields.push_back({dbStoredString(t, f, f->name), dbStoredString(t, f, f->tableName),
                                  f->type, f->offset, f->size, f->hashTable, f->tTree});
            }
        } catch (const dbException&) {
            printf("table <malformed> (id %u)\n", id);
            faults += 1;
            return;
        }
        printf("table %s (id %u): fixedSize %u, nColumns %u, rows %u, firstRow %u, lastRow %u\n",
               name.c_str(), id, t->fixedSize, t->nColumns, t->nRows, t->firstRow, t->lastRow);
        for (const Field& f : fields) {
            printf("  field %s: %s offset %d size %d", f.name.c_str(), typeName(f.type), f.offset,
                   f.size);
            if (!f.tableName.empty()) {
                printf(" -> %s", f.tableName.c_str());
            }
            if (f.hashTable != 0) {
                printf(" hash %u", f.hashTable);
            }
            if (f.tTree != 0) {
                printf(" tree %u", f.tTree);
            }
            printf("\n");
        }
        if (!withRows) {
            return;
        }
        std::set<oid_t> seen;
        oid_t rowId = t->firstRow;
        for (uint32_t n = 0; rowId != 0 && n < t->nRows; n++) {
            if (!seen.insert(rowId).second) {
                bad("cycle in the row chain");
                return;
            }
            const byte* r = row(rowId);
            if (r == nullptr) {
                return;
            }
            printf("  row %u:", rowId);
            dumpRow(r, fields);
            printf("\n");
            rowId = reinterpret_cast<const dbRecord*>(r)->next;
        }
    }

    static bool topLevel(const std::string& name) { return name.find('[') == std::string::npos; }

    void dumpRow(const byte* r, const std::vector<Field>& fields) {
        uint32_t size = reinterpret_cast<const dbRecord*>(r)->size;
        for (const Field& f : fields) {
            if (!topLevel(f.name) || f.type == dbTpStructure) {
                continue;  // structure members are printed themselves; array elements below
            }
            size_t width = f.type == dbTpString || f.type == dbTpArray ? 8 : size_t(f.size);
            if (f.offset < 0 || size_t(f.offset) + width > size) {
                printf(" %s=<outside the row>", f.name.c_str());
                faults += 1;
                continue;
            }
            const byte* p = r + f.offset;
            printf(" %s=", f.name.c_str());
            if (f.type == dbTpArray) {
                printArray(r, size, p, f.name, fields);
            } else {
                printValue(r, size, p, f.type, f.size);
            }
        }
    }

    // Elements of an array of scalars, strings or references; others as a count.
    void printArray(const byte* r, uint32_t rowSize, const byte* p, const std::string& name,
                    const std::vector<Field>& fields) {
        dbVarying v;
        memcpy(&v, p, 8);
        const Field* elem = nullptr;
        for (const Field& f : fields) {
            if (f.name == name + "[]") {
                elem = &f;
            }
        }
        bool plain =
            elem != nullptr && elem->size > 0 && (elem->type <= dbTpReference) && elem->offset == 0;
        if (!plain) {
            printf("[%u elements]", v.size);
            return;
        }
        uint64_t end = uint64_t(v.offs) + uint64_t(v.size) * uint32_t(elem->size);
        if (end > rowSize) {
            printf("<array outside the row>");
            faults += 1;
            return;
        }
        printf("[");
        for (uint32_t i = 0; i < v.size; i++) {
            const byte* at = r + v.offs + size_t(i) * uint32_t(elem->size);
            printf(i == 0 ? "" : ", ");
            // String offsets inside an element count from the element's start.
            printValue(at, uint32_t(rowSize - (at - r)), at, elem->type, elem->size);
        }
        printf("]");
    }

    void printValue(const byte* r, uint32_t rowSize, const byte* p, int type, int size) {
        switch (type) {
            case dbTpBool:
            case dbTpInt1:
                printf("%d", type == dbTpBool ? int(*p) : int(int8_t(*p)));
                break;
            case dbTpInt2: {
                int16_t v;
                memcpy(&v, p, 2);
                printf("%d", v);
                break;
            }
            case dbTpInt4: {
                int32_t v;
                memcpy(&v, p, 4);
                printf("%d", v);
                break;
            }
            case dbTpInt8: {
                int64_t v;
                memcpy(&v, p, 8);
                printf("%" PRId64, v);
                break;
            }
            case dbTpReal4: {
                float v;
                memcpy(&v, p, 4);
                printf("%.9g", double(v));
                break;
            }
            case dbTpReal8: {
                double v;
                memcpy(&v, p, 8);
                printf("%.17g", v);
                break;
            }
            case dbTpReference: {
                uint32_t v;
                memcpy(&v, p, 4);
                printf("#%u", v);
                break;
            }
            case dbTpString: {
                dbVarying v;
                memcpy(&v, p, 8);
                if (v.size == 0 || v.offs > rowSize || v.size > rowSize - v.offs ||
                    r[v.offs + v.size - 1] != 0) {
                    printf("<string outside the row>");
                    faults += 1;
                    break;
                }
                putchar('"');
                for (const byte* c = r + v.offs; *c != 0; c++) {
                    if (*c == '"' || *c == '\\') {
                        printf("\\%c", *c);
                    } else if (*c < 0x20 || *c == 0x7F) {
                        printf("\\x%02x", *c);
                    } else {
                        putchar(*c);  // texts are Big5: bytes above 0x7F pass through
                    }
                }
                putchar('"');
                break;
            }
            case dbTpRawBinary:
                for (int i = 0; i < size; i++) {
                    printf("%02x", p[i]);
                }
                break;
            default:
                printf("<type %d>", type);
                break;
        }
    }
};

int usage() {
    fprintf(stderr, "usage: kstool dump FILE | kstool create FILE | kstool check FILE\n");
    return 2;
}

int dump(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "kstool: cannot open %s\n", path);
        return 2;
    }
    std::vector<byte> image((std::istreambuf_iterator<char>(in)), {});
    return Dumper(std::move(image)).run();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    std::string command = argv[1];
    if (command == "dump" && argc == 3) {
        return dump(argv[2]);
    }
    if (command == "create" && argc == 3) {
        return kstoolCreate(argv[2]);
    }
    if (command == "check" && argc == 3) {
        return kstoolCheck(argv[2]);
    }
    return usage();
}
