// A scripted loopback peer for the link tests: it listens on 127.0.0.1 (a free port), accepts
// one connection on its own thread and runs a script against it with plain POSIX calls, so
// what the tests check on the wire never depends on the code under test. It records every byte
// it receives and a log of the steps it took; the connection is closed when the script ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace linktest {

// Little-endian byte building for expected requests and scripted replies.
class Bytes {
  public:
    Bytes& i32(int32_t v);
    Bytes& u8(uint8_t v);
    Bytes& text(std::string_view raw);  // the bytes, then a zero byte
    Bytes& raw(std::string_view raw);
    const std::string& str() const { return s_; }
    operator std::string() const { return s_; }
    operator std::string_view() const { return s_; }
    size_t size() const { return s_.size(); }

  private:
    std::string s_;
};

// A framed request as it must appear on the wire: code, and for a body its length and bytes.
std::string framedRequest(int32_t code, std::string_view body);
int32_t le32(std::string_view bytes, size_t at = 0);

// The connection as the script sees it.
class PeerConnection {
  public:
    explicit PeerConnection(int fd) : fd_(fd) {}

    // Reads exactly n bytes (waiting at most 10 s); false on EOF, error or time-out.
    bool readExact(size_t n, std::string* out = nullptr);
    bool sendAll(std::string_view bytes);
    // True when no byte arrives within ms (the other side is waiting, not sending).
    bool quietFor(int ms);
    // True when the other side closed its end (EOF) within ms.
    bool sawEof(int ms);

    // A request as a server receives it: the code; unless Logout, the length and the body,
    // answering each 65536-byte chunk of a longer body with one byte 1.
    bool readRequest(int32_t& code, std::string& body);
    // A reply as a server sends it: the length, then the body; a body over 65536 bytes goes in
    // chunks, each followed by reading one acknowledgement byte (recorded in acks()).
    bool sendReply(std::string_view body);

    const std::string& received() const { return received_; }
    const std::string& acks() const { return acks_; }
    // The steps taken, e.g. "read 4", "ack sent", "ack read".
    const std::vector<std::string>& log() const { return log_; }
    void note(std::string step) { log_.push_back(std::move(step)); }

  private:
    int fd_;
    std::string received_;
    std::string acks_;
    std::vector<std::string> log_;
};

class LoopbackPeer {
  public:
    using Script = std::function<void(PeerConnection&)>;
    explicit LoopbackPeer(Script script);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    std::string address() const;  // "127.0.0.1:<port>"
    // Waits until the script has ended and the connection is closed; the recorded connection
    // stays readable.
    void join();
    bool accepted() const { return conn_ != nullptr; }
    const PeerConnection& connection() const { return *conn_; }

  private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::unique_ptr<PeerConnection> conn_;
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (taken and released at once).
uint16_t closedPort();

}  // namespace linktest
