// kestdbBuffer: chained blocks of copied texts (see kestdb_buffer.h).
#include "kestdb_buffer.h"

#include <cstring>

namespace {
const char emptyText[1] = "";
}

kestdbBuffer::kestdbBuffer() : current(&first), used(0) {
    first.chars = new char[firstBlockSize];
    first.capacity = firstBlockSize;
    first.next = nullptr;
}

kestdbBuffer::~kestdbBuffer() {
    delete[] first.chars;
    KestBlock* b = first.next;
    while (b != nullptr) {
        KestBlock* next = b->next;
        delete[] b->chars;
        delete b;
        b = next;
    }
}

const char* kestdbBuffer::add(const char* text) {
    if (text == nullptr || *text == 0) {
        return emptyText;
    }
    const size_t len = strlen(text);
    while (current->capacity <= used + len + 1) {
        if (current->next != nullptr) {
            current = current->next;
            used = 0;
        } else {
            // A new block starts at offset 0, sized for this text and at least as large as the
            // first block. (Placing the copy at the old fill offset of a block sized fill +
            // length + 2 would make every later add allocate a block as large as everything
            // added so far: memory quadratic in the number of texts.)
            auto* block = new KestBlock;
            block->capacity = len + 2 > firstBlockSize ? len + 2 : firstBlockSize;
            block->chars = new char[block->capacity];
            block->next = nullptr;
            current->next = block;
            current = block;
            used = 0;
        }
    }
    char* copy = current->chars + used;
    memcpy(copy, text, len + 1);
    used += len + 1;
    return copy;
}

void kestdbBuffer::reset() {
    current = &first;
    used = 0;
}
