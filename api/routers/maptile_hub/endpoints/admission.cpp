// admission.cpp: work slots, handed to waiting callers in the order they came.
#include "admission.hpp"

#include "guarded.hpp"
#include "responses.hpp"
#include "cache/cost_budget.hpp"
#include "sql/transaction.hpp"
#include "startup.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vexa::maptile {

Coro WorkSlots::enter() {
    const long long slots = nb::cast<long long>(ns()[slots_name_]);
    if (in_use_ < slots && waiting_.empty()) {
        ++in_use_;
        co_return nb::none();
    }
    Held turn = bound::asyncio().attr("get_running_loop")().attr("create_future")();
    waiting_.push_back(nb::borrow(turn));
    Coro waiting = within(bound::asyncio().attr("shield")(turn), ns()[wait_name_]);
    bool timed_out = false;
    try {
        co_await std::move(waiting);  // leave() handed its slot over: in_use_ stays as it was
    } catch (nb::python_error& e) {
        // Out of time, or cancelled: no slot is taken, unless one was handed over meanwhile.
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
            if (it->is(turn)) {
                waiting_.erase(it);
                break;
            }
        if (truthy(turn.attr("done")()) && !truthy(turn.attr("cancelled")())) leave();
        if (!e.matches(PyExc_TimeoutError)) throw;
        timed_out = true;
    }
    if (timed_out) raise_retry_later(503, "Too busy for " + what_ + " now. Please try again shortly.", 1);
    co_return nb::none();
}

void WorkSlots::leave() {
    while (!waiting_.empty()) {  // hand the slot to the oldest caller still waiting
        object next = std::move(waiting_.front());
        waiting_.pop_front();
        if (!truthy(next.attr("done")())) {
            next.attr("set_result")(nb::none());
            return;
        }
    }
    --in_use_;
}

bool HostSlots::open_slots() {
    const long long wanted = std::max(1LL, nb::cast<long long>(ns()["HOST_DATABASE_SLOTS"]));
    const std::string dir = text(ns()["HOST_SLOTS_DIR"]);
    if (broken_ && dir == dir_) return false;
    if (dir == dir_ && static_cast<long long>(fds_.size()) == wanted) return true;
    if (std::find(held_.begin(), held_.end(), true) != held_.end()) return !fds_.empty();  // changed: once all are back
    for (int fd : fds_) close(fd);  // the settings changed: the slots are opened afresh
    fds_.clear();
    dir_ = dir;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (long long i = 0; i < wanted && !error; ++i) {
        const std::string path = dir + "/database-" + std::to_string(i) + ".lock";
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = std::error_code(errno, std::generic_category());
            break;
        }
        fds_.push_back(fd);
    }
    held_.assign(fds_.size(), false);
    if (!error) return true;
    for (int fd : fds_) close(fd);
    fds_.clear();
    held_.clear();
    if (!broken_)
        log("warning", "The host's bound on database work is not kept: " + dir + " cannot hold its slots (" +
                           error.message() + "); set HOST_SLOTS_DIR (VEXA_HOST_SLOTS_DIR) to a writable directory");
    broken_ = true;
    return false;
}

Coro HostSlots::enter() {
    if (!open_slots()) co_return nb::int_(-1);
    const double deadline = steady_seconds() + number(ns()["HOST_DATABASE_WAIT_S"]);
    double pause = 0.002;
    for (;;) {
        for (size_t i = 0; i < fds_.size(); ++i) {
            // A lock this process holds is granted to it again: its own holders are known here.
            if (held_[i] || flock(fds_[i], LOCK_EX | LOCK_NB) != 0) continue;
            held_[i] = true;
            co_return nb::int_(static_cast<long long>(i));
        }
        const double left = deadline - steady_seconds();
        if (left <= 0) break;
        object sleeping = bound::asyncio().attr("sleep")(std::min(pause, left));
        co_await std::move(sleeping);
        pause = std::min(pause * 2, 0.02);
    }
    raise_retry_later(503, "Too busy for database work now. Please try again shortly.", 1);
}

void HostSlots::leave(int slot) {
    if (slot < 0 || slot >= static_cast<int>(fds_.size()) || !held_[slot]) return;
    held_[slot] = false;
    flock(fds_[slot], LOCK_UN);
}

HostSlots& host_slots() { return kept<HostSlots>(); }

void HostSlot::release() {
    if (slot_ >= 0) host_slots().leave(slot_);
    slot_ = -1;
}

Coro expensive_work(std::string address, Coro work) {
    if (!address.empty()) co_await admit_cost(address);
    HostSlot host_slot;
    Held taken = co_await host_slots().enter();
    host_slot.hold(static_cast<int>(nb::cast<long long>(taken)));
    const double started = steady_seconds();
    Held result;
    std::exception_ptr failed;  // an error is charged first, then raised again
    try {
        result = co_await std::move(work);
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        failed = std::current_exception();
    }
    host_slot.release();
    if (!address.empty()) co_await settle_cost(address, steady_seconds() - started);
    if (failed) std::rethrow_exception(failed);
    co_return result;
}

Slot::~Slot() {
    try {
        slots_->leave();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("giving back a work slot");
    }
}

}  // namespace vexa::maptile

namespace vexa::maptile {

namespace {

Coro enter_database_work(Args&) { co_return co_await host_slots().enter(); }

}  // namespace

void define_host_slots() {
    object int_type = builtin::int_type();
    define({.name = "enter_database_work",
            .doc = "Take one of the host's slots of expensive database work (shared by its workers): its number,\n"
                   "or -1 when the host's bound is out of use; 503 with Retry-After when none comes within\n"
                   "HOST_DATABASE_WAIT_S. Give it back with leave_database_work.",
            .return_annotation = int_type,
            .async_body = enter_database_work});
    define({.name = "leave_database_work",
            .doc = "Give back the host slot that enter_database_work gave.",
            .params = {{"slot", int_type}},
            .sync_body = [](Args& a) -> object {
                host_slots().leave(static_cast<int>(nb::cast<long long>(a["slot"])));
                return nb::none();
            }});
}

}  // namespace vexa::maptile
