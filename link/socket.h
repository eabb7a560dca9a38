// The blocking TCP socket under the request channel. socket_t is the abstract interface,
// win_socket its implementation over POSIX stream sockets. Nothing here throws: every
// operation returns a result and leaves an error code in the object (0 = no error, -1..-5 the
// codes below, a positive value an errno).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

class socket_t {
public:
    enum State : uint8_t { kOpen = 0, kShutDown = 1, kClosed = 2 };
    enum ErrorCode : int {
        ok_code = 0,
        not_opened = -1,               // "socket not opened"
        bad_address = -2,              // "bad address"
        connection_failed = -3,        // "exceed limit of attempts of connection to server"
        broken_pipe = -4,              // "connection is broken"
        invalid_access_mode = -5,      // "invalid access mode"
    };

    virtual ~socket_t() = default;

    // Not reached by the client; win_socket reports failure from them.
    virtual bool read_text(char* buf, size_t buf_size, time_t timeout);
    virtual bool write_text(const char* text);

    // Reads at least min_size and at most max_size bytes. timeout: whole seconds for the
    // whole read, -1 = no limit. Returns the count read (fewer than min_size when the time
    // ran out, error code unchanged), or -1 on failure (error code set; -4 when the peer closed).
    virtual int read(void* buf, size_t min_size, size_t max_size, time_t timeout = -1) = 0;
    // Sends every byte; false on failure (error code set).
    virtual bool write(const void* buf, size_t size) = 0;
    // True when the last operation left error code 0.
    virtual bool ok() = 0;
    // Copies at most buf_size characters (with the terminating zero) of the current error text.
    virtual void error_text(char* buf, size_t buf_size) = 0;
    virtual std::unique_ptr<socket_t> accept();
    virtual bool stop_accepting();
    virtual bool shutdown() = 0;
    virtual bool close() = 0;
    // The peer's dotted IPv4 address, or none (error code set).
    virtual std::optional<std::string> peer_address() = 0;
    virtual int native_handle() = 0;

    State state() const { return state_; }

protected:
    State state_ = kClosed;
};

class win_socket : public socket_t {
public:
    // address: host, ':', decimal port. The socket stays closed until connect() succeeds.
    explicit win_socket(const char* address);
    // Adopts an already connected handle (a connection accepted by the server); state open.
    static std::unique_ptr<win_socket> adopt(int handle);
    ~win_socket() override;

    win_socket(const win_socket&) = delete;
    win_socket& operator=(const win_socket&) = delete;

    // At most `attempts` passes over the host's IPv4 addresses (at least one), `pause_seconds`
    // apart; only a refused connection is retried. TCP_NODELAY is set on success.
    bool connect(int attempts, int pause_seconds);
    // The same with the pause in milliseconds (tests use short pauses).
    bool connect_ms(int attempts, int pause_ms);

    int read(void* buf, size_t min_size, size_t max_size, time_t timeout = -1) override;
    bool write(const void* buf, size_t size) override;
    bool ok() override { return errcode_ == 0; }
    void error_text(char* buf, size_t buf_size) override;
    bool shutdown() override;
    bool close() override;
    std::optional<std::string> peer_address() override;
    int native_handle() override { return handle_; }

    int error_code() const { return errcode_; }
    // The text error_text() would give for the current code.
    std::string error_string() const;

private:
    win_socket() = default;

    int handle_ = -1;
    int errcode_ = 0;
    std::optional<std::string> address_;
};
