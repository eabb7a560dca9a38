// Field-by-field writing and reading of request and reply bodies. Both ends of the link write
// and read records through these two classes, so each encoding exists once.
//
// WireWriter appends to some buffer (the channel's request body, or a server reply body).
// WireReader reads a bounded byte range; it never reads outside it: a read past the end, or a
// text without its zero before the end, yields zeros or an empty text and marks the reader
// broken. Texts cross as CP950 bytes and are converted from/to UTF-8 here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wire {

class WireWriter {
public:
    virtual ~WireWriter() = default;
    virtual void appendBytes(const void* data, size_t n) = 0;

    void appendInt32(int32_t v);   // 4 bytes little-endian
    void appendByte(uint8_t v);
    // The bytes as they are, then a zero byte (CP950 already).
    void appendString(std::string_view big5);
    // A UTF-8 text converted to CP950, then a zero byte. When the text is not representable
    // nothing is appended, the writer is marked failed and false is returned.
    bool appendText(std::string_view utf8);

    bool failed() const { return failed_; }
    void clearFailed() { failed_ = false; }

protected:
    bool failed_ = false;
};

// A writer over a std::string (server replies, tests).
class StringWriter : public WireWriter {
public:
    void appendBytes(const void* data, size_t n) override;
    const std::string& bytes() const { return bytes_; }
    std::string& bytes() { return bytes_; }

private:
    std::string bytes_;
};

class WireReader {
public:
    WireReader() = default;
    WireReader(const char* data, size_t length) : data_(data), length_(length) {}

    void reset(const char* data, size_t length);

    // Copies n bytes and advances; past the end fills dest with zeros, marks broken, false.
    bool readBytes(void* dest, size_t n);
    int32_t readInt32();
    uint8_t readByte();
    // The raw CP950 text at the position (up to its zero byte), advancing past the zero.
    // Points into the data; valid while the data is. Without a zero before the end: "" and broken.
    const char* readString();
    // A text converted to UTF-8; invalid CP950 gives "" and marks broken.
    std::string readText();

    bool broken() const { return broken_; }
    void markBroken() { broken_ = true; }
    size_t position() const { return pos_; }
    size_t length() const { return length_; }
    size_t remaining() const { return length_ - pos_; }
    bool atEnd() const { return pos_ == length_; }

private:
    const char* data_ = nullptr;
    size_t length_ = 0;
    size_t pos_ = 0;
    bool broken_ = false;
};

}  // namespace wire
