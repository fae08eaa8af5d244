// redis_protocol.hpp: what each Redis client lets the module use. Scripts where the server runs
// them (a step in one round trip, atomic); where it refuses them (a user without @scripting, a
// proxy or a test double without EVAL, a client object without the call), the plain commands.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// A Redis key or answer as text: bytes as they are (a client without reply decoding), or str.
std::string redis_text(handle answer);

/// A Lua script the module runs in Redis: its text, and the SHA-1 that EVALSHA names it by.
struct LuaScript {
    object text;
    object sha;
};

/// `source` as a LuaScript (its SHA-1 computed here, once, at start-up).
LuaScript lua_script(const char* source);

/// What the module may ask of a client's Redis beyond single commands.
enum class Feature { scripts, transactions };

/// Seconds before a feature a client's Redis refused is asked for again (by one call, which
/// either finds it back or finds it still refused).
inline constexpr double FEATURE_PROBE_S = 300.0;

/// True for the error of a command that this client cannot send: unknown to the server or to a
/// proxy on the way ("unknown command"), refused by the user's ACL (NOPERM), or missing from the
/// client object (AttributeError).
bool command_refused(const nb::python_error& error);

/// Whether `feature` may be asked of `client`: until its Redis refused it, and again once
/// FEATURE_PROBE_S has passed since, by one call (the probe; the others wait for its outcome).
bool may_use(handle client, Feature feature);

/// Whether `client`'s Redis refused `feature` less than FEATURE_PROBE_S ago (asks nothing, takes
/// no probe).
bool refused_for_now(handle client, Feature feature);

/// `client`'s Redis refused `feature` with `error`: recorded, and logged as a WARNING that names
/// the cause and what the module does without it, once (a later probe refused again is DEBUG).
void refused(handle client, Feature feature, const nb::python_error& error);

/// `feature` worked on `client`: logged when its Redis had refused it before.
void worked(handle client, Feature feature);

/// `script` run on `client` with `keys` and then `arguments`: EVALSHA, and EVAL once more when
/// the server does not know the script yet (a new, restarted or flushed Redis). An empty object
/// when the client's Redis runs no scripts (known before, or found out now: recorded and logged
/// as refused() says); any other error propagates.
Coro run_script(object client, LuaScript script, nb::tuple keys, nb::tuple arguments);

}  // namespace vexa::maptile
