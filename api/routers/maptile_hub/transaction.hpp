// transaction.hpp: db_transaction, which ends every database use (commit, or rollback on an
// ordinary error, then close), and timed_query, one statement inside it under a time limit.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
object db_transaction();
}  // namespace bound

/// Inside db_transaction(db): execute `statement` (with `params` unless empty) under
/// asyncio.wait_for(..., timeout), and give `result.<fetch>()`. Errors propagate after the
/// transaction's rollback and close.
Coro timed_query(object db, object statement, object params, double timeout, const char* fetch);

/// asyncio.wait_for(awaitable, timeout) as the module binds asyncio now (`timeout` a number of
/// seconds, or None for no limit). The awaitable is taken over, so that no temporary of the
/// caller's await keeps it.
object within(object&& awaitable, handle timeout);
object within(object&& awaitable, double timeout);

/// Start-up: the class DatabaseTransaction and db_transaction.
void define_transaction();

}  // namespace vexa::maptile
