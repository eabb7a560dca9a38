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
            // The new block is sized so the copy fits at the current fill offset.
            auto* block = new KestBlock;
            block->capacity = used + len + 2;
            block->chars = new char[block->capacity];
            block->next = nullptr;
            current->next = block;
            current = block;
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
