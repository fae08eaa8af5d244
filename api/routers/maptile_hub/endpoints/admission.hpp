// admission.hpp: a bound on this worker's concurrent work of one kind, so that one kind of
// request (bounding-box tiles) cannot take every database connection and the event loop's time
// from the others (cached tiles above all).
#pragma once

#include "hub.hpp"

#include <deque>
#include <string>
#include <vector>

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

/// The host's slots of expensive database work, shared by every worker process on the machine
/// (and every host instance that names the same directory): HOST_DATABASE_SLOTS lock files in
/// HOST_SLOTS_DIR, each held (flock) by at most one caller at a time. The kernel releases the
/// lock of a process that dies, so a crashed worker never keeps one. A caller waits at most
/// HOST_DATABASE_WAIT_S seconds, or is answered 503 "Too busy for database work now. Please try
/// again shortly." with Retry-After: 1. Where the directory cannot be used, the bound is logged
/// once as lost and the work goes on unbounded by it (the worker's own slots still hold).
class HostSlots {
public:
    /// Take a slot: its number, or -1 when the host's bound is out of use.
    Coro enter();
    void leave(int slot);

private:
    bool open_slots();
    std::vector<int> fds_;
    std::vector<bool> held_;  // by this process
    std::string dir_;
    bool broken_ = false;
};

/// The module's one table of host slots.
HostSlots& host_slots();

/// A host slot held for the length of a scope.
class HostSlot {
public:
    HostSlot() = default;
    HostSlot(const HostSlot&) = delete;
    HostSlot& operator=(const HostSlot&) = delete;
    ~HostSlot() { release(); }
    void hold(int slot) { slot_ = slot; }
    void release();

private:
    int slot_ = -1;
};

/// `work` as expensive database work of the client at `address` (empty: not charged): admitted
/// by the client's budget of work (429 past it), run in one of the host's slots (503 when none
/// comes), and charged the time it took, however it ends; a cancellation passes at once. Its
/// result, or its error raised again once it is charged.
Coro expensive_work(std::string address, Coro work);

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
