// single_flight.hpp: one computation per key at a time on an event loop; concurrent callers
// of the same key share its outcome.
#pragma once

#include "runtime.hpp"

#include <chrono>
#include <functional>
#include <string>

namespace vexa::maptile {

using Clock = std::chrono::steady_clock;

/// Await `work()` for `key`, unless a run for the same key is already in flight on the running
/// event loop: then await that run's outcome instead (its result, or the same error). The run
/// belongs to the caller that started it; a waiter that is cancelled leaves it alone, and when
/// the owner is cancelled the next waiter starts a run of its own.
///
/// `asked_at` is when the caller looked for the result elsewhere (a cache read) and found none.
/// A run that succeeded after that moment still answers the caller for a short while: its
/// result may have been stored just after the caller's read. Callers that asked later start
/// a run of their own; a failed run is forgotten at once.
Coro single_flight(std::string key, Clock::time_point asked_at, std::function<Coro()> work);

}  // namespace vexa::maptile
