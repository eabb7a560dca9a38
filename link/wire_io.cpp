// Field writing and bounded field reading. A WireReader never touches a byte outside
// [data, data + length): every read checks the bytes left first, and a failed read leaves
// the position where it was, yields zeros or an empty text, and marks the reader broken.
#include "wire_io.h"

#include <cstring>

#include "big5.h"

namespace wire {

void WireWriter::appendInt32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                          static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    appendBytes(b, sizeof b);
}

void WireWriter::appendByte(uint8_t v) {
    appendBytes(&v, 1);
}

void WireWriter::appendString(std::string_view big5) {
    // A zero inside the text would end it early on the wire and shift every later field.
    if (big5.find('\0') != std::string_view::npos) {
        failed_ = true;
        return;
    }
    appendBytes(big5.data(), big5.size());
    appendByte(0);
}

bool WireWriter::appendText(std::string_view utf8) {
    if (utf8.find('\0') != std::string_view::npos) {
        failed_ = true;
        return false;
    }
    auto big5 = toBig5(utf8);
    if (!big5) {
        failed_ = true;
        return false;
    }
    appendBytes(big5->data(), big5->size());
    appendByte(0);
    return true;
}

void StringWriter::appendBytes(const void* data, size_t n) {
    bytes_.append(static_cast<const char*>(data), n);
}

void WireReader::reset(const char* data, size_t length) {
    data_ = data;
    length_ = data ? length : 0;
    pos_ = 0;
    broken_ = false;
}

bool WireReader::readBytes(void* dest, size_t n) {
    // Once broken, nothing more is read: later fields would come from the wrong offsets.
    if (broken_ || n > length_ - pos_) {
        if (n > 0) {
            std::memset(dest, 0, n);
        }
        broken_ = true;
        return false;
    }
    if (n > 0) {
        std::memcpy(dest, data_ + pos_, n);
        pos_ += n;
    }
    return true;
}

int32_t WireReader::readInt32() {
    unsigned char b[4];
    if (!readBytes(b, sizeof b)) {
        return 0;
    }
    uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                 (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return static_cast<int32_t>(u);
}

uint8_t WireReader::readByte() {
    uint8_t b = 0;
    readBytes(&b, 1);
    return b;
}

const char* WireReader::readString() {
    if (broken_ || pos_ >= length_) {
        broken_ = true;
        return "";
    }
    const char* start = data_ + pos_;
    const void* zero = std::memchr(start, 0, length_ - pos_);
    if (!zero) {
        broken_ = true;
        return "";
    }
    pos_ += static_cast<const char*>(zero) - start + 1;
    return start;
}

std::string WireReader::readText() {
    const char* raw = readString();
    auto utf8 = fromBig5(raw);
    if (!utf8) {
        broken_ = true;
        return std::string();
    }
    return std::move(*utf8);
}

}  // namespace wire
