// WWWconnection: the request channel. It builds a request body, sends it framed under a
// request code, receives one framed reply and lets the caller read it field by field.
// It does not own its socket. Nothing here throws: a failed send answers false, a failed
// receive answers false and leaves the disconnect reply (status -2, "Server disconnected.")
// so that every caller's parsing still finds a status.
//
// Buffers start at 4096 bytes; to add n bytes to `used`, when used + n >= capacity the
// capacity becomes max(2 * capacity, used + n) and the array is allocated one byte larger.
// They never shrink. Reading never leaves the received reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "protocol.h"
#include "wire_io.h"

class socket_t;

class WWWconnection : public wire::WireWriter {
public:
    WWWconnection();
    ~WWWconnection() override;
    WWWconnection(const WWWconnection&) = delete;
    WWWconnection& operator=(const WWWconnection&) = delete;

    // The current connection, not owned; null while there is none.
    socket_t* socket = nullptr;

    // Request side (appendInt32, appendByte, appendString, appendText come from WireWriter).
    void appendBytes(const void* data, size_t n) override;
    // Writes the code, and unless the body is empty its length and the body; empties the body
    // on success. False on any failure (the body then stays). A body marked failed() (a text
    // CP950 cannot hold) is never sent: false until resetRequest().
    bool sendRequest(int32_t code);
    // Empties the request body (the reconnect path does this before reusing the channel).
    void resetRequest();

    // Reply side. False on failure, with the disconnect reply in the buffer. A reply whose
    // announced length is negative or above wire::kMaxReplyLength fails the same way.
    bool receiveReply();
    // Field reading at the read position; see wire::WireReader for the end-of-reply rule.
    bool readBytes(void* dest, size_t count) { return reader_.readBytes(dest, count); }
    const char* readString() { return reader_.readString(); }
    wire::WireReader& reply() { return reader_; }

    // Introspection for tests and the benchmark.
    uint32_t requestCapacity() const { return requestCapacity_; }
    int32_t requestLength() const { return requestLength_; }
    const char* requestData() const { return request_.get(); }
    uint32_t replyCapacity() const { return replyCapacity_; }
    int32_t replyLength() const { return replyLength_; }

private:
    void growRequest(size_t n);
    void growReply(size_t n);
    void setDisconnectReply();

    std::unique_ptr<char[]> request_;
    uint32_t requestCapacity_ = 4096;
    int32_t requestLength_ = 0;
    std::unique_ptr<char[]> reply_;
    uint32_t replyCapacity_ = 4096;
    int32_t replyLength_ = 0;
    wire::WireReader reader_;
};
