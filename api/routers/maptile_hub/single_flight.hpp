// single_flight.hpp: one computation per key at a time on an event loop; concurrent callers
// of the same key share its outcome.
#pragma once

#include "bridge.hpp"

#include <functional>
#include <string>

namespace vexa::maptile {

/// Await `work()` for `key`, unless a run for the same key is already in flight on the running
/// event loop: then await that run's outcome instead (its result, or the same error). The run
/// belongs to the caller that started it; a waiter that is cancelled leaves it alone, and when
/// the owner is cancelled the next waiter starts a run of its own.
Coro single_flight(std::string key, std::function<Coro()> work);

/// The number of runs in flight in this process.
std::size_t flights_in_progress();

}  // namespace vexa::maptile
