// argon2id through libsodium and the per-address login throttle.
#include "accounts.h"

#include <sodium.h>

#include <stdexcept>

namespace kestd {

std::optional<HashCost> parseHashCost(std::string_view text) {
    if (text == "interactive")
        return HashCost::Interactive;
    if (text == "moderate")
        return HashCost::Moderate;
    if (text == "min")
        return HashCost::Minimum;
    return std::nullopt;
}

PasswordHasher::PasswordHasher(HashCost cost, int maxConcurrent)
    : cost_(cost), maxConcurrent_(maxConcurrent < 1 ? 1 : maxConcurrent) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

void PasswordHasher::acquire() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return running_ < maxConcurrent_; });
    ++running_;
}

void PasswordHasher::release() {
    {
        std::lock_guard lock(mutex_);
        --running_;
    }
    cv_.notify_one();
}

std::string PasswordHasher::hash(std::string_view password) {
    unsigned long long ops = crypto_pwhash_OPSLIMIT_MODERATE;
    size_t mem = crypto_pwhash_MEMLIMIT_MODERATE;
    if (cost_ == HashCost::Interactive) {
        ops = crypto_pwhash_OPSLIMIT_INTERACTIVE;
        mem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    } else if (cost_ == HashCost::Minimum) {
        ops = crypto_pwhash_OPSLIMIT_MIN;
        mem = crypto_pwhash_MEMLIMIT_MIN;
    }
    char out[crypto_pwhash_STRBYTES];
    acquire();
    int rc = crypto_pwhash_str_alg(out, password.data(), password.size(), ops, mem,
                                   crypto_pwhash_ALG_ARGON2ID13);
    release();
    return rc == 0 ? std::string(out) : std::string();
}

bool PasswordHasher::verify(const std::string& stored, std::string_view password) {
    if (stored.empty() || stored.size() >= crypto_pwhash_STRBYTES)
        return false;
    char buf[crypto_pwhash_STRBYTES] = {};
    stored.copy(buf, stored.size());
    acquire();
    int rc = crypto_pwhash_str_verify(buf, password.data(), password.size());
    release();
    return rc == 0;
}

std::chrono::milliseconds LoginThrottle::delayFor(int failures) const {
    if (failures <= 0)
        return std::chrono::milliseconds(0);
    auto d = base_;
    for (int i = 1; i < failures && d < cap_; ++i)
        d *= 2;
    return d < cap_ ? d : cap_;
}

void LoginThrottle::prune(Clock::time_point now) {
    if (entries_.size() < 4096)
        return;
    // Forget addresses that have been quiet for a while, so the table stays small.
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.last > std::chrono::minutes(15))
            it = entries_.erase(it);
        else
            ++it;
    }
}

LoginThrottle::Clock::time_point LoginThrottle::reserve(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    auto it = entries_.find(address);
    if (it == entries_.end() || it->second.failures == 0)
        return now;
    Entry& e = it->second;
    auto slot = e.next > now ? e.next : now;
    e.next = slot + delayFor(e.failures);
    return slot;
}

void LoginThrottle::failed(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    prune(now);
    Entry& e = entries_[address];
    ++e.failures;
    e.last = now;
    auto earliest = now + delayFor(e.failures);
    if (e.next < earliest)
        e.next = earliest;
}

void LoginThrottle::succeeded(const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase(address);
}

int LoginThrottle::failures(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(address);
    return it == entries_.end() ? 0 : it->second.failures;
}

}  // namespace kestd
