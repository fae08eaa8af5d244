// transaction.hpp: db_transaction, which ends every database use (commit, or rollback on an
// ordinary error, then close), and timed_query, one statement inside it under a time limit.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
object db_transaction();
}  // namespace bound

/// Inside db_transaction(db): execute `statement` (with `params` unless empty) under
/// within(..., timeout), and give `result.<fetch>()`. Errors propagate after the
/// transaction's rollback and close.
Coro timed_query(object db, object statement, object params, double timeout, const char* fetch);

/// Await `awaitable` under asyncio.timeout(timeout), as the module binds asyncio now (`timeout`
/// a number of seconds, or None for no limit): TimeoutError when it runs out, the awaitable
/// then cancelled. It runs in the caller's task, so a cancellation of the caller is never lost.
Coro within(object awaitable, handle timeout);
Coro within(object awaitable, double timeout);
/// The same for a native body.
Coro within(Coro body, double timeout);


}  // namespace vexa::maptile
