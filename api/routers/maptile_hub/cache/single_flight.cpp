// single_flight.cpp: concurrent misses of one key share one run through an asyncio Future.
#include "single_flight.hpp"

#include "hub.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vexa::maptile {

namespace {

/// One run: the asyncio Future of its outcome, and when it succeeded.
struct Flight {
    object future;
    std::optional<std::chrono::steady_clock::time_point> done;
};

/// The runs in progress or just finished, by event loop and key.
struct FlightTable {
    std::unordered_map<std::string, Flight> flights;
};

FlightTable& state() { return kept<FlightTable>(); }

}  // namespace

namespace {

/// How long a finished run stays in the table for callers that asked before it finished.
constexpr double FINISHED_RUN_KEPT_S = 1.0;

void forget(const std::string& key, handle future) {
    auto& flights = state().flights;
    auto found = flights.find(key);
    if (found != flights.end() && found->second.future.is(future)) flights.erase(found);
}

/// True when the current task has a cancellation request pending (Task.cancelling()).
bool being_cancelled(handle asyncio) {
    object task = asyncio.attr("current_task")();
    return !task.is_none() && nb::cast<long long>(task.attr("cancelling")()) > 0;
}

}  // namespace

Coro single_flight(std::string key, Clock::time_point asked_at, std::function<Coro()> work) {
    Held asyncio = bound::asyncio();
    Held loop = asyncio.attr("get_running_loop")();
    const std::string flight = std::to_string(reinterpret_cast<std::uintptr_t>(loop.ptr())) + "|" + key;
    auto& flights = state().flights;

    for (auto found = flights.find(flight); found != flights.end(); found = flights.find(flight)) {
        if (found->second.done && *found->second.done <= asked_at) break;  // finished before we asked
        Held shared = found->second.future;
        try {
            object joining = asyncio.attr("shield")(shared);
            co_return co_await std::move(joining);
        } catch (nb::python_error&) {
            // Only a run abandoned by its cancelled owner is taken over; the run's own error,
            // and this caller's cancellation, go on.
            if (!truthy(shared.attr("cancelled")()) || being_cancelled(asyncio)) throw;
        }
    }

    Held future = loop.attr("create_future")();
    flights[flight] = Flight{future, std::nullopt};
    try {
        Held result = co_await work();
        future.attr("set_result")(result);
        auto entry = flights.find(flight);
        if (entry != flights.end() && entry->second.future.is(future)) {
            entry->second.done = Clock::now();
            object kept = future;
            loop.attr("call_later")(FINISHED_RUN_KEPT_S, nb::cpp_function([flight, kept]() { forget(flight, kept); }));
        }
        co_return result;
    } catch (nb::python_error& e) {
        forget(flight, future);
        if (is_exception(e)) {
            future.attr("set_exception")(e.value());
            future.attr("exception")();  // retrieved: no "never retrieved" report without waiters
        } else {
            future.attr("cancel")();
        }
        throw;
    } catch (...) {
        forget(flight, future);
        future.attr("cancel")();
        throw;
    }
}

}  // namespace vexa::maptile
