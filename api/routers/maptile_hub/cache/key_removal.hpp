// key_removal.hpp: removing cached entries from Redis, by their keys or by a pattern, for the
// invalidation endpoint and the change listener alike.
#pragma once

#include "hub.hpp"

#include <functional>
#include <string>
#include <vector>

namespace vexa::maptile {

/// How a removal sends one command: awaits the awaitable `call` (the listener bounds it in time
/// and keeps its connection alive) and gives its answer.
using SendCommand = std::function<Coro(object call)>;

/// What a removal sent and removed.
struct RemovalCount {
    long long commands = 0;
    long long entries = 0;  // keys that existed and were removed
};

/// UNLINK `keys` on `client`, a thousand at a time, counting into `count` as each batch lands
/// (so a failure leaves the count of what was removed before it).
Coro unlink_keys(handle client, std::vector<std::string> keys, const SendCommand& send, RemovalCount* count);

/// UNLINK every key matching `pattern`, found by SCAN a page at a time.
Coro unlink_matching(handle client, std::string pattern, const SendCommand& send, RemovalCount* count);

/// The plain way of sending: await the command.
Coro send_plainly(object call);

}  // namespace vexa::maptile
