// The transfer rule of both ends: a block of up to kChunkSize bytes is one exact write or
// read; a longer block goes in kChunkSize chunks, each (the last too) answered by one
// acknowledgement byte before the next is sent. Any failed or short step fails the block.
#include "transfer.h"

#include <algorithm>

#include "protocol.h"
#include "socket.h"

namespace wire {
namespace {

constexpr char kAck = 1;

bool readExactly(socket_t& socket, void* data, size_t n, int timeoutSeconds) {
    if (n == 0) {
        return true;
    }
    int got = socket.read(data, n, n, timeoutSeconds);
    return got >= 0 && static_cast<size_t>(got) == n;
}

}  // namespace

bool sendTransfer(socket_t& socket, const void* data, size_t n, int timeoutSeconds) {
    const char* p = static_cast<const char*>(data);
    if (n <= kChunkSize) {
        return n == 0 || socket.write(p, n);
    }
    for (size_t sent = 0; sent < n;) {
        size_t chunk = std::min(kChunkSize, n - sent);
        if (!socket.write(p + sent, chunk)) {
            return false;
        }
        char ack;
        if (!readExactly(socket, &ack, 1, timeoutSeconds)) {
            return false;
        }
        sent += chunk;
    }
    return true;
}

bool receiveTransfer(socket_t& socket, void* data, size_t n, int timeoutSeconds) {
    char* p = static_cast<char*>(data);
    if (n <= kChunkSize) {
        return readExactly(socket, p, n, timeoutSeconds);
    }
    for (size_t got = 0; got < n;) {
        size_t chunk = std::min(kChunkSize, n - got);
        if (!readExactly(socket, p + got, chunk, timeoutSeconds)) {
            return false;
        }
        if (!socket.write(&kAck, 1)) {
            return false;
        }
        got += chunk;
    }
    return true;
}

}  // namespace wire
