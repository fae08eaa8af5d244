// admission.hpp: a bound on this worker's concurrent work of one kind, so that one kind of
// request (bounding-box tiles) cannot take every database connection and the event loop's time
// from the others (cached tiles above all).
#pragma once

#include "hub.hpp"

#include <deque>

namespace vexa::maptile {

/// At most `slots` at once, the number read from the module attribute `slots_name` at each
/// entry (a host may set it); a caller waits at most the module attribute `wait_name` seconds
/// for one, in the order they came, or is answered 503 "Too busy for <what> now. Please try
/// again shortly." with Retry-After: 1.
class WorkSlots {
public:
    WorkSlots(const char* what, const char* slots_name, const char* wait_name)
        : what_(what), slots_name_(slots_name), wait_name_(wait_name) {}

    /// Take a slot (raising the 503 when none comes in time); give it back with leave().
    Coro enter();
    void leave();

private:
    std::string what_;
    const char* slots_name_;
    const char* wait_name_;
    long long in_use_ = 0;
    std::deque<object> waiting_;  // futures of the callers waiting for a slot, oldest first
};

/// A slot taken for the length of a scope: given back however the scope ends.
class Slot {
public:
    explicit Slot(WorkSlots& slots) : slots_(&slots) {}
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot();

private:
    WorkSlots* slots_;
};

}  // namespace vexa::maptile
