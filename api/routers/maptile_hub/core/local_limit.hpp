// local_limit.hpp: per-key request counts over fixed one-second windows, kept in the process:
// what limits a client while the rate limit's Redis is out of reach (each worker counts its own,
// so the limit is approximate there, never absent).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace vexa::tiles {

class LocalWindows {
public:
    /// At most `max_keys` windows are kept; past that, windows that have ended are dropped first,
    /// and if none has, the table starts afresh (a flood of addresses must not grow it without end).
    explicit LocalWindows(size_t max_keys = 100000) : max_keys_(max_keys) {}

    /// Count one request of `key` at `now` (seconds, monotonic): true while it is within `limit`
    /// requests of its window, which opens with its first request and lasts one second.
    bool admit(const std::string& key, double now, long long limit);

    size_t size() const { return windows_.size(); }

private:
    struct Window {
        double opened;
        long long count;
    };
    void sweep(double now);

    size_t max_keys_;
    std::unordered_map<std::string, Window> windows_;
};

}  // namespace vexa::tiles
