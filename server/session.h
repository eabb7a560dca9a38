// Session: the requests of one connection, decoded and answered without any socket, so the
// same code serves the network loop, the tests and the fuzzer.
//
// Invariants: before a successful Login every request with a reply gets status -2; Logout and
// the message check ("EmpMsgCheck") never get a reply; every other request gets exactly one
// reply in its catalogue layout. A body that does not decode (cut short, a text without its
// zero, bytes that are not CP950, extra bytes) is refused with the request's refusal reply and
// a log line. Every permission is checked here against the employee's bits as stored now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "accounts.h"
#include "config.h"
#include "sql_db.h"
#include "storage.h"

namespace kestd {

// What all sessions of one server share.
struct SessionServices {
    const ServerConfig& config;
    PasswordHasher& hasher;
    LoginThrottle& throttle;
};

class Session {
  public:
    Session(SessionServices services, SqlDb& db, std::string peer);

    // Answers one request: the reply body, or none when the request gets no reply.
    std::optional<std::string> handle(int32_t code, std::string_view body);

    bool loggedIn() const { return employee_ != 0; }
    wire::Oid employee() const { return employee_; }
    const std::string& peer() const { return peer_; }

  private:
    struct Request;
    std::string login(std::string_view body);
    std::string dispatch(int32_t code, const std::string& topic, Request& rq);
    std::string get(const std::string& topic, Request& rq);
    std::string insert(const std::string& topic, Request& rq);
    std::string update(const std::string& topic, Request& rq);
    std::string remove(const std::string& topic, Request& rq);
    std::string query(const std::string& topic, Request& rq);
    std::string report(const std::string& topic, Request& rq);
    // The refusal reply of a request: the shape the client reads as "refused / nothing".
    std::string refusal(int32_t code, const std::string& topic) const;
    bool permitted(int32_t bits, const char* what);
    void refuseLog(const std::string& what);

    SessionServices services_;
    Store store_;
    std::string peer_;
    wire::Oid employee_ = 0;
    std::string employeeNumber_;
    int32_t permission_ = 0;
};

}  // namespace kestd
