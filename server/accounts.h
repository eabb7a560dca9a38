// Password hashing and login throttling. Passwords are stored only as argon2id strings
// (libsodium crypto_pwhash_str, which carries its own cost and salt, so a hash made at any cost
// verifies later). At most `maxConcurrent` hashes run at once so a burst of logins cannot eat
// the office server's memory. Failed logins are slowed per peer address: each further attempt
// from an address with failures waits for its own slot, the gap doubling per failure up to a cap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kestd {

enum class HashCost {
    Interactive,  // libsodium's INTERACTIVE limits: the default, and the floor for real use
    Moderate,     // MODERATE: about four times the memory and time of INTERACTIVE
    Minimum,      // MIN limits: tests only (select with --hash-cost min or KEST_HASH_COST=min)
};
// "interactive", "moderate", "min"; none for anything else.
std::optional<HashCost> parseHashCost(std::string_view text);

class PasswordHasher {
  public:
    explicit PasswordHasher(HashCost cost, int maxConcurrent);
    // An argon2id string for the password; empty on failure (out of memory).
    std::string hash(std::string_view password);
    bool verify(const std::string& stored, std::string_view password);

  private:
    void acquire();
    void release();

    HashCost cost_;
    int maxConcurrent_;
    int running_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

class LoginThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    LoginThrottle(std::chrono::milliseconds base, std::chrono::milliseconds cap)
        : base_(base), cap_(cap) {}

    // When the next attempt from this address may be checked (now when it has no failures).
    // Reserves that moment, so parallel attempts from one address queue up one after another.
    Clock::time_point reserve(const std::string& address);
    void failed(const std::string& address);
    void succeeded(const std::string& address);
    int failures(const std::string& address);

  private:
    struct Entry {
        int failures = 0;
        Clock::time_point next{};
        Clock::time_point last{};
    };
    std::chrono::milliseconds delayFor(int failures) const;
    void prune(Clock::time_point now);

    std::chrono::milliseconds base_, cap_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace kestd
