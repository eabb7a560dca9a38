// WWWconnection: request body building, framed send, framed receive and bounded reply
// reading. Invariants: each buffer holds at least one byte more than its data (capacity + 1
// bytes are allocated); the reply reader is bounded by the bytes actually received, or by
// the disconnect reply's own bytes after a failed receive; nothing throws.
#include "www_connection.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "socket.h"
#include "transfer.h"

namespace {

constexpr uint32_t kInitialCapacity = 4096;
// Capacities stay within int32 so that lengths and capacities compare without surprises.
constexpr size_t kMaxCapacity = static_cast<size_t>(std::numeric_limits<int32_t>::max()) - 1;

void putInt32(char* out, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    out[0] = static_cast<char>(u);
    out[1] = static_cast<char>(u >> 8);
    out[2] = static_cast<char>(u >> 16);
    out[3] = static_cast<char>(u >> 24);
}

int32_t getInt32(const char* in) {
    const auto* b = reinterpret_cast<const unsigned char*>(in);
    uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                 (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return static_cast<int32_t>(u);
}

// The growth rule: to hold `used` + n bytes, when that reaches the capacity the capacity
// becomes max(2 * capacity, used + n) and a new array of capacity + 1 bytes takes over the
// first `used` bytes. False (nothing changed) when the result would not fit or memory is out.
bool grow(std::unique_ptr<char[]>& buffer, uint32_t& capacity, size_t used, size_t n) {
    if (n > kMaxCapacity || used > kMaxCapacity - n) {
        return false;
    }
    size_t need = used + n;
    if (need < capacity) {
        return true;
    }
    size_t newCapacity = std::min(std::max(static_cast<size_t>(capacity) * 2, need), kMaxCapacity);
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[newCapacity + 1]);
    if (!bigger) {
        return false;
    }
    if (used > 0) {
        std::memcpy(bigger.get(), buffer.get(), used);
    }
    buffer = std::move(bigger);
    capacity = static_cast<uint32_t>(newCapacity);
    return true;
}

}  // namespace

WWWconnection::WWWconnection()
    : request_(new char[kInitialCapacity + 1]),
      requestCapacity_(kInitialCapacity),
      reply_(new char[kInitialCapacity + 1]),
      replyCapacity_(kInitialCapacity) {
    setDisconnectReply();  // nothing received yet: reading finds the disconnect reply
}

WWWconnection::~WWWconnection() = default;

// Both leave the capacity below the size asked for when the buffer could not grow.
void WWWconnection::growRequest(size_t n) {
    grow(request_, requestCapacity_, static_cast<size_t>(requestLength_), n);
}

void WWWconnection::growReply(size_t n) {
    grow(reply_, replyCapacity_, 0, n);
}

void WWWconnection::appendBytes(const void* data, size_t n) {
    if (n == 0) {
        return;
    }
    growRequest(n);
    if (static_cast<size_t>(requestLength_) + n > requestCapacity_) {
        failed_ = true;  // too large to hold: the body stays as it was and is marked failed
        return;
    }
    std::memcpy(request_.get() + requestLength_, data, n);
    requestLength_ += static_cast<int32_t>(n);
}

void WWWconnection::resetRequest() {
    requestLength_ = 0;
    failed_ = false;
}

bool WWWconnection::sendRequest(int32_t code) {
    // A body that lost a field (a text CP950 cannot hold, a body too large) would be misread
    // by the server from that field on; it is never sent.
    if (!socket || failed_) {
        return false;
    }
    char header[8];
    putInt32(header, code);
    if (requestLength_ == 0) {
        return wire::sendTransfer(*socket, header, 4, wire::kReadTimeoutSeconds);
    }
    putInt32(header + 4, requestLength_);
    // Code and length are two transfers of 4 bytes; one write of both puts the same bytes on
    // the stream in one segment.
    if (!wire::sendTransfer(*socket, header, sizeof header, wire::kReadTimeoutSeconds)) {
        return false;
    }
    if (!wire::sendTransfer(*socket, request_.get(), static_cast<size_t>(requestLength_),
                            wire::kReadTimeoutSeconds)) {
        return false;
    }
    requestLength_ = 0;
    failed_ = false;
    return true;
}

bool WWWconnection::receiveReply() {
    if (!socket) {
        setDisconnectReply();
        return false;
    }
    char word[4];
    if (!wire::receiveTransfer(*socket, word, sizeof word, wire::kReadTimeoutSeconds)) {
        setDisconnectReply();
        return false;
    }
    int32_t length = getInt32(word);
    // A length no honest server sends: refuse it before any allocation.
    if (length < 0 || length > wire::kMaxReplyLength) {
        setDisconnectReply();
        return false;
    }
    replyLength_ = length;
    growReply(static_cast<size_t>(length));
    if (static_cast<size_t>(length) > replyCapacity_) {
        setDisconnectReply();
        return false;
    }
    if (!wire::receiveTransfer(*socket, reply_.get(), static_cast<size_t>(length),
                               wire::kReadTimeoutSeconds)) {
        setDisconnectReply();
        return false;
    }
    reader_.reset(reply_.get(), static_cast<size_t>(length));
    return true;
}

void WWWconnection::setDisconnectReply() {
    const size_t textLength = std::strlen(wire::kDisconnectText) + 1;
    putInt32(reply_.get(), wire::kStatusFailed);
    std::memcpy(reply_.get() + 4, wire::kDisconnectText, textLength);
    reader_.reset(reply_.get(), 4 + textLength);
}
