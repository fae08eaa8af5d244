// admission.cpp: work slots, handed to waiting callers in the order they came.
#include "admission.hpp"

#include "responses.hpp"
#include "sql/transaction.hpp"

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

Slot::~Slot() {
    try {
        slots_->leave();
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("giving back a work slot");
    }
}

}  // namespace vexa::maptile
