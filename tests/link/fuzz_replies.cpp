// libFuzzer target: arbitrary bytes arrive as the server's answer to every request of the
// catalogue. Whatever they hold, every reader must return without reading or writing outside
// the channel's buffers. The first input byte picks how the rest is delivered: as the whole
// byte stream (length word included, so negative and huge lengths are tried) or as a reply
// body framed with its true length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "requests.h"
#include "socket.h"
#include "www_connection.h"

namespace {

// A socket whose reads come from a byte string and whose writes (requests, acknowledgements)
// go nowhere. At the end of the string it behaves like a peer that closed.
class StreamSocket : public socket_t {
  public:
    explicit StreamSocket(std::string bytes) : bytes_(std::move(bytes)) { state_ = kOpen; }
    int read(void* buf, size_t min_size, size_t max_size, time_t) override {
        size_t left = bytes_.size() - pos_;
        if (left < min_size) {
            pos_ = bytes_.size();
            error_ = broken_pipe;
            return -1;
        }
        size_t n = std::min(left, max_size);
        std::memcpy(buf, bytes_.data() + pos_, n);
        pos_ += n;
        return static_cast<int>(n);
    }
    bool write(const void*, size_t) override { return true; }
    bool ok() override { return error_ == 0; }
    void error_text(char* buf, size_t size) override {
        if (size > 0) {
            buf[0] = '\0';
        }
    }
    bool shutdown() override { return true; }
    bool close() override { return true; }
    std::optional<std::string> peer_address() override { return std::nullopt; }
    int native_handle() override { return -1; }

  private:
    std::string bytes_;
    size_t pos_ = 0;
    int error_ = 0;
};

template <typename Call>
void answer(WWWconnection& c, const std::string& stream, Call call) {
    StreamSocket s(stream);
    c.socket = &s;
    call(c);
    c.socket = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string stream;
    if (data[0] & 1) {
        stream = rest;
    } else {
        uint32_t n = static_cast<uint32_t>(rest.size());
        char word[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                        static_cast<char>(n >> 24)};
        stream = std::string(word, 4) + rest;
    }

    WWWconnection c;
    const wire::Customer customer{"C1", 0, "n", 0, 1, "e", "i", 0, 0, "t", "f", 0, 0, 0, 0};
    const wire::Employee employee{"A", "B", "C", 1, false, false, 0};
    const wire::Event event{1, 0, 1, 0, "t", "d", 0, 0};
    const uint8_t jpeg[3] = {1, 2, 3};

    answer(c, stream, [](WWWconnection& w) { wire::login(w, "ADMIN", "PW"); });
    answer(c, stream, [](WWWconnection& w) { wire::getEmployee(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::getCustomer(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::getCustomerImage(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::getEvent(w, 1); });
    answer(c, stream, [&](WWWconnection& w) { wire::insertCustomer(w, customer); });
    answer(c, stream, [&](WWWconnection& w) {
        wire::insertCustomerImage(w, 1, {"p", 1, 0, 0, 0}, jpeg);
    });
    answer(c, stream, [](WWWconnection& w) { wire::insertCustomerCategory(w, "a"); });
    answer(c, stream, [](WWWconnection& w) { wire::insertEventCategory(w, "a"); });
    answer(c, stream, [&](WWWconnection& w) { wire::insertEmployee(w, employee); });
    answer(c, stream, [&](WWWconnection& w) { wire::insertEvent(w, event); });
    answer(c, stream, [&](WWWconnection& w) { wire::updateCustomer(w, 1, customer); });
    answer(c, stream, [](WWWconnection& w) { wire::updateCustomerCategory(w, "a", "b"); });
    answer(c, stream, [](WWWconnection& w) { wire::updateEventCategory(w, "a", "b"); });
    answer(c, stream, [&](WWWconnection& w) { wire::updateEmployee(w, 1, employee); });
    answer(c, stream, [&](WWWconnection& w) { wire::updateEvent(w, 1, event); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteCustomer(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteCustomerImage(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteCustomerCategory(w, "a"); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteEventCategory(w, "a"); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteEmployee(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::deleteEvent(w, 1); });
    answer(c, stream, [](WWWconnection& w) { wire::queryCustomerCategories(w); });
    answer(c, stream, [](WWWconnection& w) { wire::queryEventCategories(w); });
    answer(c, stream, [](WWWconnection& w) { wire::queryEmployees(w); });
    answer(c, stream, [](WWWconnection& w) { wire::queryCustomers(w, "", 0); });
    answer(c, stream, [](WWWconnection& w) { wire::queryEvents(w, 1, 0, 0, ""); });
    answer(c, stream, [](WWWconnection& w) { wire::queryServerTime(w); });
    answer(c, stream, [](WWWconnection& w) { wire::reportEvents(w, 0, 0, ""); });
    answer(c, stream, [](WWWconnection& w) { wire::reportCustomers(w, 0, 0, ""); });

    // The raw field readers on whatever the last receive left, field kinds in turn.
    StreamSocket s(stream);
    c.socket = &s;
    c.receiveReply();
    wire::WireReader& r = c.reply();
    for (int i = 0; !r.broken() && i < 64; ++i) {
        switch (i % 4) {
            case 0:
                r.readInt32();
                break;
            case 1:
                r.readString();
                break;
            case 2:
                r.readText();
                break;
            default:
                r.readByte();
                break;
        }
    }
    c.socket = nullptr;
    return 0;
}
