// freshness.cpp: layer generations and versions in Redis, and the checked tile write.
#include "freshness.hpp"

#include "cache.hpp"
#include "guarded.hpp"
#include "redis_protocol.hpp"
#include "core/tile_rules.hpp"
#include "sql/transaction.hpp"
#include "startup.hpp"

namespace vexa::maptile {

namespace {

/// The Lua scripts of BinaryRedisCache.set_if_current and of a version's publication.
struct FreshnessState {
    LuaScript set_if_current;
    LuaScript set_if_greater;
};

FreshnessState& state() { return kept<FreshnessState>(); }

}  // namespace

namespace {

// KEYS[1] the entry, KEYS[2] its layer's generation, KEYS[3] (when given) the sorted set that
// indexes the layer's bounding-box entries; ARGV: the bytes, their lifetime in seconds, and the
// generation read before the query that made them. The index scores each entry's name by when
// it expires (Redis's clock) and drops the names of entries that have expired. It has no expiry
// of its own, so that no volatile-* policy evicts it: a missing index then means the layer has
// no box entries. An index of an earlier version (a plain set) becomes a sorted set.
constexpr const char* SET_IF_CURRENT = R"(
if (redis.call('GET', KEYS[2]) or '0') ~= ARGV[3] then
    return 0
end
if KEYS[3] then
    local now = tonumber(redis.call('TIME')[1])
    local expires = now + tonumber(ARGV[2])
    if redis.call('TYPE', KEYS[3]).ok == 'set' then
        local names = redis.call('SMEMBERS', KEYS[3])
        redis.call('DEL', KEYS[3])
        for _, name in ipairs(names) do
            redis.call('ZADD', KEYS[3], expires, name)
        end
    end
    redis.call('ZADD', KEYS[3], expires, KEYS[1])
    redis.call('ZREMRANGEBYSCORE', KEYS[3], '-inf', '(' .. now)
end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 1
)";

// KEYS[1] a layer's version; ARGV[1] a generation: the version is set to it unless it is that
// generation or a later one already, so that a version never goes back.
constexpr const char* SET_IF_GREATER = R"(
local current = tonumber(redis.call('GET', KEYS[1]) or '-1') or -1
if current < tonumber(ARGV[1]) then
    redis.call('SET', KEYS[1], ARGV[1])
    return 1
end
return 0
)";

/// How long the write by single commands first stores an entry for, before the second look at
/// the generation lets it keep its lifetime: all a stale entry can live when that look never
/// comes (the request cancelled, Redis gone).
constexpr int PROVISIONAL_TTL_S = 5;

/// The generation as read (None for a layer never invalidated) is `expected`'s.
bool same_generation(handle read, handle expected) {
    return compare(read.is_none() ? object(nb::bytes("0")) : nb::borrow(read), expected, Py_EQ);
}

/// `target.name(*args)`.
object call(handle target, const char* name, const nb::tuple& args) {
    return steal(PyObject_Call(nb::borrow(target).attr(name).ptr(), args.ptr(), nullptr));
}


std::string cache_namespace() { return text(bound::cache().attr("namespace")); }

}  // namespace

std::string generation_key(const std::string& layer) { return "tile_generation:" + cache_namespace() + ":" + layer; }

std::string version_key(const std::string& layer) { return "tile_version:" + cache_namespace() + ":" + layer; }

std::string bbox_index_key(const std::string& layer) { return "tile_bbox_index:" + cache_namespace() + ":" + layer; }

std::vector<std::string> layer_names() {
    std::vector<std::string> names;
    for (handle name : nb::borrow<nb::dict>(bound::LAYER_CONFIG()).keys()) names.push_back(text(name));
    return names;
}

std::vector<std::string> layers_of_pattern(const std::string& pattern) {
    std::vector<std::string> layers = layer_names();
    const size_t colon = pattern.find(':');
    std::string first = pattern.substr(0, colon);
    if ((first == "bbox" || first == "centroid") && colon != std::string::npos) {
        const std::string rest = pattern.substr(colon + 1);
        first = rest.substr(0, rest.find(':'));
    }
    for (const std::string& layer : layers)
        if (layer == first) return {layer};
    return layers;
}

Coro advance_generations(object client_given, std::vector<std::string> layers) {
    Held client = std::move(client_given);
    Held advanced = nb::list();
    for (const std::string& layer : layers) {
        object advancing = client.attr("incr")(pystr(generation_key(layer)));
        Held generation = co_await std::move(advancing);
        nb::borrow<nb::list>(advanced).append(generation);
    }
    co_return advanced;
}

namespace {

/// SET `key` to the integer `value` unless it holds that or more: a script where the client's
/// Redis runs scripts; WATCH/GET/MULTI/SET/EXEC (again while another write gets in between)
/// where it does not; GET then SET where it runs neither.
Coro set_if_greater(handle client, handle key, handle value) {
    Held name = nb::borrow(key), wanted = nb::borrow(value);
    Held done = co_await run_script(nb::borrow(client), state().set_if_greater, nb::make_tuple(name), nb::make_tuple(wanted));
    if (done.is_valid()) co_return nb::none();
    auto behind = [&](handle current) {
        return current.is_none() || number(builtin::int_type()(current)) < number(wanted);
    };
    if (may_use(client, Feature::transactions)) {
        try {
            Held watch_error = nb::module_::import_("redis.exceptions").attr("WatchError");
            for (bool written = false; !written;) {
                Held pipeline = nb::borrow(client).attr("pipeline")(nb::arg("transaction") = true);
                co_await async_with(std::move(pipeline), [&](handle pipe) -> Coro {
                    try {
                        object watching = pipe.attr("watch")(name);
                        co_await std::move(watching);
                        object reading = pipe.attr("get")(name);
                        Held current = co_await std::move(reading);
                        if (behind(current)) {
                            pipe.attr("multi")();
                            pipe.attr("set")(name, wanted);
                            object executing = pipe.attr("execute")();
                            co_await std::move(executing);
                        }
                        written = true;
                    } catch (nb::python_error& e) {
                        if (!e.matches(watch_error)) throw;  // another write came in between: again
                    }
                    co_return nb::none();
                });
            }
            worked(client, Feature::transactions);
            co_return nb::none();
        } catch (nb::python_error& e) {
            if (!command_refused(e)) throw;
            refused(client, Feature::transactions, e);
        }
    }
    object reading = nb::borrow(client).attr("get")(name);
    Held current = co_await std::move(reading);
    if (behind(current)) {
        object writing = nb::borrow(client).attr("set")(name, wanted);
        co_await std::move(writing);
    }
    co_return nb::none();
}

}  // namespace

Coro publish_versions(object client_given, std::vector<std::string> layers, object generations_given) {
    Held client = std::move(client_given), generations = std::move(generations_given);
    for (size_t i = 0; i < layers.size(); ++i) {
        Held key = pystr(version_key(layers[i]));
        Held generation = item(generations, nb::int_(i));
        co_await set_if_greater(client, key, generation);
    }
    co_return nb::none();
}


Coro read_generation(std::string layer) {
    Held key = pystr(generation_key(layer));
    // MGET answers a list, so that None is left to mean "skipped or failed": then the generation
    // is unknown.
    Held read = co_await through_cache(key, "get", nb::float_(1.0),
                                       [&](handle owner) -> object { return owner.attr("redis").attr("mget")(key); });
    if (read.is_none()) co_return object();
    object generation = item(read, nb::int_(0));
    co_return generation.is_none() ? object(nb::bytes("0")) : generation;
}

Coro read_versions() {
    std::vector<std::string> layers = layer_names();
    Held epoch_name = pystr("tile_epoch:" + cache_namespace());
    nb::list keys;
    keys.append(epoch_name);
    for (const std::string& layer : layers) keys.append(pystr(version_key(layer)));
    Held client = bound::redis_client();
    OnError unreadable;
    Held values = co_await guarded(
        [&]() -> Coro {
            Coro reading = within(client.attr("mget")(keys), 1.0);
            Held read = co_await std::move(reading);
            if (!item(read, nb::int_(0)).is_none()) co_return read;
            // A Redis that starts afresh (its data lost) starts a new epoch: versions never
            // repeat one a client may have kept tiles of.
            object token = nb::module_::import_("secrets").attr("token_hex")(4);
            Coro starting = within(client.attr("set")(epoch_name, token, nb::arg("nx") = true), 1.0);
            co_await std::move(starting);
            Coro rereading = within(client.attr("mget")(keys), 1.0);
            co_return co_await std::move(rereading);
        }(),
        unreadable);
    if (values.is_none() || item(values, nb::int_(0)).is_none()) co_return object();
    const std::string epoch = text(item(values, nb::int_(0)).attr("decode")("ascii"));
    nb::dict versions;
    for (size_t i = 0; i < layers.size(); ++i) {
        object value = item(values, nb::int_(i + 1));
        versions[pystr(layers[i])] = pystr(epoch + "." + (value.is_none() ? "0" : text(value.attr("decode")("ascii"))));
    }
    co_return versions;
}

namespace {

/// What a write by commands adds to a box entry's index, read from Redis first: its time now,
/// and whether the index is still a plain set of an earlier version (then the entry is not
/// stored: only the script turns such an index into a sorted set, atomically).
Coro index_time(handle client, handle index, long long* now, bool* legacy) {
    object timing = nb::borrow(client).attr("time")();
    Held time = co_await std::move(timing);
    *now = (long long)number(item(time, nb::int_(0)));
    object typing = nb::borrow(client).attr("type")(index);
    Held kind = co_await std::move(typing);
    *legacy = redis_text(kind) == "set";
    co_return nb::none();
}

/// The index's commands for the entry at `now`: its name scored by its expiry, the expired
/// names dropped.
std::vector<std::pair<const char*, nb::tuple>> index_commands(const CheckedWrite& w, long long now) {
    nb::dict scored;
    scored[w.entry] = now + (long long)number(w.ttl);
    return {{"zadd", nb::make_tuple(w.index, scored)},
            {"zremrangebyscore", nb::make_tuple(w.index, "-inf", pystr("(" + std::to_string(now)))}};
}

/// The checked write without scripts, in one transaction: WATCH the generation, compare it,
/// then MULTI ... EXEC. EXEC fails when the generation changed after the WATCH, so the write
/// lands only while the generation is still the one its data was read after: the same guarantee
/// as the script's. Only the generation is watched, so that box writes of one layer at once do
/// not abort each other over the index.
Coro write_in_transaction(object client, CheckedWrite w) {
    Held pipeline = client.attr("pipeline")(nb::arg("transaction") = true);
    Held watch_error = nb::module_::import_("redis.exceptions").attr("WatchError");
    bool stored = false;
    co_await async_with(std::move(pipeline), [&](handle pipe) -> Coro {
        try {
            object watching = pipe.attr("watch")(w.generation_key);
            co_await std::move(watching);
            object reading = pipe.attr("get")(w.generation_key);
            Held current = co_await std::move(reading);
            if (!same_generation(current, w.generation)) co_return nb::none();
            long long now = 0;
            bool legacy = false;
            if (!w.index.is_none()) {
                co_await index_time(pipe, w.index, &now, &legacy);
                if (legacy) co_return nb::none();
            }
            pipe.attr("multi")();
            if (!w.index.is_none())
                for (const auto& command : index_commands(w, now)) call(pipe, command.first, command.second);
            pipe.attr("set")(w.entry, w.value, nb::arg("ex") = w.ttl);
            object executing = pipe.attr("execute")();
            co_await std::move(executing);
            stored = true;
        } catch (nb::python_error& e) {
            if (!e.matches(watch_error)) throw;  // the generation moved on between WATCH and EXEC
        }
        co_return nb::none();
    });
    co_return nb::bool_(stored);
}

/// The checked write with single commands (a Redis that runs neither scripts nor transactions):
/// the generation compared, the index written, the entry SET for PROVISIONAL_TTL_S, then the
/// generation read again: the entry is given its lifetime when it is unchanged, deleted when it
/// moved on. An invalidation advances the generation before it deletes, so a tile read before it
/// is deleted by it or by the second look: visible for at most that round trip, and, should the
/// second look never come, for PROVISIONAL_TTL_S.
Coro write_by_commands(object client, CheckedWrite w) {
    object reading = client.attr("get")(w.generation_key);
    Held before = co_await std::move(reading);
    if (!same_generation(before, w.generation)) co_return nb::bool_(false);
    if (!w.index.is_none()) {
        long long now = 0;
        bool legacy = false;
        co_await index_time(client, w.index, &now, &legacy);
        if (legacy) co_return nb::bool_(false);
        for (const auto& command : index_commands(w, now)) {
            object sending = call(client, command.first, command.second);
            co_await std::move(sending);
        }
    }
    const long long provisional = std::min<long long>(PROVISIONAL_TTL_S, (long long)number(w.ttl));
    object writing = client.attr("set")(w.entry, w.value, nb::arg("ex") = provisional);
    co_await std::move(writing);
    object rereading = client.attr("get")(w.generation_key);
    Held after = co_await std::move(rereading);
    if (same_generation(after, w.generation)) {
        object keeping = client.attr("expire")(w.entry, w.ttl);
        co_await std::move(keeping);
        co_return nb::bool_(true);
    }
    object deleting = client.attr("delete")(w.entry);
    co_await std::move(deleting);
    co_return nb::bool_(false);
}

}  // namespace

Coro write_if_current(object client_given, CheckedWrite w) {
    Held client = std::move(client_given);
    nb::tuple keys = w.index.is_none() ? nb::make_tuple(w.entry, w.generation_key)
                                       : nb::make_tuple(w.entry, w.generation_key, w.index);
    Held stored = co_await run_script(client, state().set_if_current, keys, nb::make_tuple(w.value, w.ttl, w.generation));
    if (stored.is_valid()) co_return nb::bool_(truthy(stored));
    if (may_use(client, Feature::transactions)) {
        try {
            Held done = co_await write_in_transaction(client, w);
            worked(client, Feature::transactions);
            co_return done;
        } catch (nb::python_error& e) {
            if (!command_refused(e)) throw;
            refused(client, Feature::transactions, e);
        }
    }
    co_return co_await write_by_commands(client, std::move(w));
}


Coro store_if_current(handle key, handle value, handle ttl, std::string layer, handle generation, bool indexed) {
    if (generation.is_none()) {
        log("debug", "Cache set skipped for " + text(key) + ": the generation of layer '" + layer +
                         "' could not be read before its query");
        co_return nb::none();
    }
    Held generation_name = pystr(generation_key(layer));
    Held index = indexed ? object(pystr(bbox_index_key(layer))) : object(nb::none());
    co_await through_cache(key, "set", nb::float_(CACHE_SET_TIMEOUT), [&](handle owner) -> object {
        if (!nb::hasattr(owner, "set_if_current")) return owner.attr("set")(key, value, ttl);  // a host's own cache
        return owner.attr("set_if_current")(key, value, ttl, generation_name, generation, index);
    });
    co_return nb::none();
}

void define_freshness() {
    state().set_if_current = lua_script(SET_IF_CURRENT);
    state().set_if_greater = lua_script(SET_IF_GREATER);
}

}  // namespace vexa::maptile
