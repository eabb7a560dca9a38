// kestdbBuffer: a pool of text copies that keeps strings alive while record objects point to
// them (string fields of records are plain character pointers).
//
// Invariant: every pointer that add() returned stays valid and unchanged until reset() or
// destruction; blocks are only ever appended to the chain, never freed before destruction.
#pragma once

#include <cstddef>

class kestdbBuffer {
  public:
    static constexpr size_t firstBlockSize = 512;

    struct KestBlock {
        char* chars;
        size_t capacity;
        KestBlock* next;
    };

    kestdbBuffer();
    ~kestdbBuffer();
    kestdbBuffer(const kestdbBuffer&) = delete;
    kestdbBuffer& operator=(const kestdbBuffer&) = delete;

    // A stable copy of `text`; a null or empty text gives the shared empty string.
    const char* add(const char* text);
    // Back to the first block at offset 0; earlier copies become reusable.
    void reset();

    // For tests and diagnostics: the block receiving copies and the next free offset in it.
    const KestBlock* currentBlock() const { return current; }
    const KestBlock* firstBlock() const { return &first; }
    size_t fillOffset() const { return used; }

  private:
    KestBlock first;
    KestBlock* current;
    size_t used;
};
