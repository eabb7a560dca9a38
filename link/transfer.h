// The transfer rule both ends follow for every block of bytes they exchange: up to kChunkSize
// bytes go as one exact write/read; longer blocks go in kChunkSize chunks, the receiver
// answering each chunk (the last one too) with one byte, the sender waiting for it before the
// next chunk. The receiver sends the byte 1; the sender does not look at the value.
#pragma once

#include <cstddef>

class socket_t;

namespace wire {

// Sends n bytes by the transfer rule. False when a write or an acknowledgement read fails.
bool sendTransfer(socket_t& socket, const void* data, size_t n, int timeoutSeconds);
// Receives exactly n bytes by the transfer rule into data. False on any short or failed read
// or failed acknowledgement write.
bool receiveTransfer(socket_t& socket, void* data, size_t n, int timeoutSeconds);

}  // namespace wire
