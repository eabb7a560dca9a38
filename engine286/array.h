// dbArray: the growable array that record classes use for array fields. It either owns its
// element block (capacity > 0) or refers to elements it does not own (capacity 0, e.g. the
// elements of a fetched row inside the database mapping).
//
// Invariant: len <= capacity whenever the array owns its block; elements [0, len) are valid.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sync_w32.h"

template <class T>
class dbArray {
  public:
    dbArray() = default;
    dbArray(const dbArray& other) { copyFrom(other); }
    dbArray& operator=(const dbArray& other) {
        if (this != &other) {
            release();
            copyFrom(other);
        }
        return *this;
    }
    ~dbArray() { release(); }

    size_t length() const { return len; }
    T* base() { return data; }
    const T* get() const { return data; }

    // The element at `i`; past the end raises dbException with code 0.
    const T& at(size_t i) const {
        if (i >= len) {
            throw dbException(0);
        }
        return data[i];
    }
    T& at(size_t i) {
        if (i >= len) {
            throw dbException(0);
        }
        return data[i];
    }
    const T& operator[](size_t i) const { return at(i); }
    T& operator[](size_t i) { return at(i); }

    // Inserts `value` before position `index` (index == length appends). A full block is
    // replaced by one of twice the length (8 elements for an empty array).
    void insertAt(const T& value, size_t index) {
        if (!(index <= len)) {
            dbAssertionFailed("index <= len", "engine286/array.h", __LINE__);
        }
        if (len < capacity) {
            for (size_t j = len; j > index; j--) {
                data[j] = data[j - 1];
            }
            data[index] = value;
        } else {
            const size_t newCapacity = len == 0 ? 8 : 2 * len;
            T* block = new T[newCapacity];
            for (size_t j = 0; j < index; j++) {
                block[j] = data[j];
            }
            block[index] = value;
            for (size_t j = index; j < len; j++) {
                block[j + 1] = data[j];
            }
            if (capacity != 0) {
                delete[] data;
            }
            data = block;
            capacity = newCapacity;
        }
        len += 1;
    }
    void append(const T& value) { insertAt(value, len); }

    // Removes the element at `index` (the following ones move down).
    void remove(size_t index) {
        if (index >= len) {
            throw dbException(0);
        }
        makeOwned();
        for (size_t j = index + 1; j < len; j++) {
            data[j - 1] = data[j];
        }
        len -= 1;
    }

    // Makes the array refer to `n` elements it does not own.
    void refer(T* elements, size_t n) {
        release();
        data = elements;
        len = n;
        capacity = 0;
    }
    // Gives the array `n` owned elements (value-initialised) and returns them.
    T* allocate(size_t n) {
        release();
        if (n != 0) {
            data = new T[n]();
            capacity = n;
        }
        len = n;
        return data;
    }

    bool ownsElements() const { return capacity != 0; }
    size_t allocatedCapacity() const { return capacity; }

  private:
    void release() {
        if (capacity != 0) {
            delete[] data;
        }
        data = nullptr;
        len = 0;
        capacity = 0;
    }
    void copyFrom(const dbArray& other) {
        if (other.len != 0) {
            data = new T[other.len];
            for (size_t j = 0; j < other.len; j++) {
                data[j] = other.data[j];
            }
            capacity = other.len;
        }
        len = other.len;
    }
    void makeOwned() {
        if (capacity == 0 && len != 0) {
            T* block = new T[len];
            for (size_t j = 0; j < len; j++) {
                block[j] = data[j];
            }
            data = block;
            capacity = len;
        }
    }

    size_t len = 0;
    T* data = nullptr;
    size_t capacity = 0;
};
