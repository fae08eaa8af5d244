// freshness.cpp: layer generations and versions in Redis, and the checked tile write.
#include "freshness.hpp"

#include "cache.hpp"
#include "guarded.hpp"
#include "module_state.hpp"
#include "tile_rules.hpp"
#include "transaction.hpp"

namespace vexa::maptile {

namespace {

// KEYS[1] the entry, KEYS[2] its layer's generation, KEYS[3] (when given) the sorted set that
// indexes the layer's bounding-box entries; ARGV: the bytes, their lifetime in seconds, and the
// generation read before the query that made them. The index scores each entry's name by when
// it expires (Redis's clock), drops the names of entries that have expired, and lives as long as
// its longest-lived entry. An index of an earlier version (a plain set) becomes a sorted set,
// its names kept for one lifetime.
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
    if redis.call('TTL', KEYS[3]) < tonumber(ARGV[2]) then
        redis.call('EXPIRE', KEYS[3], ARGV[2])
    end
end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 1
)";

/// The generation as read (None for a layer never invalidated) is `expected`'s.
bool same_generation(handle read, handle expected) {
    return compare(read.is_none() ? object(nb::bytes("0")) : nb::borrow(read), expected, Py_EQ);
}

/// The index's part of a write by commands: the entry's name scored by its expiry, the expired
/// names dropped, the index's lifetime raised to the entry's. `legacy` holds the names of an index of
/// an earlier version (a plain set), re-added as the script does; `index_ttl` is its TTL now.
struct IndexWrite {
    object index, entry, ttl;
    long long now = 0;
    long long index_ttl = -2;
    object legacy;  // a list of names, or empty
};

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
    for (const std::string& layer : layers) {
        object advancing = client.attr("incr")(pystr(generation_key(layer)));
        co_await std::move(advancing);
    }
    co_return nb::none();
}

Coro publish_versions(object client_given, std::vector<std::string> layers) {
    Held client = std::move(client_given);
    for (const std::string& layer : layers) {
        object reading = client.attr("get")(pystr(generation_key(layer)));
        Held generation = co_await std::move(reading);
        object publishing =
            client.attr("set")(pystr(version_key(layer)), generation.is_none() ? object(nb::bytes("0")) : object(generation));
        co_await std::move(publishing);
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

/// A command: its name and arguments.
using Command = std::pair<const char*, nb::tuple>;

/// The index write's commands, in order.
std::vector<Command> index_commands(const IndexWrite& w) {
    const long long ttl = nb::cast<long long>(w.ttl), expires = w.now + ttl;
    auto scored = [&](handle name) {
        nb::dict score;
        score[name] = expires;
        return Command{"zadd", nb::make_tuple(w.index, score)};
    };
    std::vector<Command> commands;
    if (w.legacy.is_valid()) {
        commands.push_back({"delete", nb::make_tuple(w.index)});
        for (handle name : w.legacy) commands.push_back(scored(name));
    }
    commands.push_back(scored(w.entry));
    commands.push_back({"zremrangebyscore", nb::make_tuple(w.index, "-inf", pystr("(" + std::to_string(w.now)))});
    if (w.index_ttl < ttl) commands.push_back({"expire", nb::make_tuple(w.index, w.ttl)});
    return commands;
}

/// Read what the index write needs through `read(name, args...)` (awaitables): Redis's time, the
/// index's type (and names, for a plain set) and TTL.
Coro read_index(IndexWrite* w, std::function<object(const char*, nb::tuple)> read) {
    object timing = read("time", nb::tuple());
    Held now = co_await std::move(timing);
    w->now = nb::cast<long long>(item(now, nb::int_(0)));
    object typing = read("type", nb::make_tuple(w->index));
    Held kind = co_await std::move(typing);
    if (text(nb::isinstance<nb::bytes>(kind) ? kind.attr("decode")("ascii") : object(kind)) == "set") {
        object naming = read("smembers", nb::make_tuple(w->index));
        w->legacy = nb::list(co_await std::move(naming));
    }
    object asking = read("ttl", nb::make_tuple(w->index));
    w->index_ttl = nb::cast<long long>(co_await std::move(asking));
    co_return nb::none();
}

/// `target.name(*args)`.
object call(handle target, const char* name, const nb::tuple& args) {
    return steal(PyObject_Call(nb::borrow(target).attr(name).ptr(), args.ptr(), nullptr));
}

/// The checked write without scripts, in one transaction: WATCH the generation (and the index),
/// compare it, then MULTI ... EXEC. EXEC fails when a watched key changed after the WATCH, so
/// the write lands only while the generation is still the one its data was read after: the same
/// guarantee as the script's.
Coro write_in_transaction(object client, CheckedWrite w) {
    Held pipeline = client.attr("pipeline")(nb::arg("transaction") = true);
    Held watch_error = nb::module_::import_("redis.exceptions").attr("WatchError");
    bool stored = false;
    co_await async_with(std::move(pipeline), [&](handle pipe) -> Coro {
        try {
            object watching = w.index.is_none() ? call(pipe, "watch", nb::make_tuple(w.generation_key))
                                                : call(pipe, "watch", nb::make_tuple(w.generation_key, w.index));
            co_await std::move(watching);
            object reading = pipe.attr("get")(w.generation_key);
            Held current = co_await std::move(reading);
            if (!same_generation(current, w.generation)) co_return nb::none();
            IndexWrite index{.index = w.index, .entry = w.entry, .ttl = w.ttl};
            if (!w.index.is_none())
                co_await read_index(&index, [&](const char* name, nb::tuple args) { return call(pipe, name, args); });
            pipe.attr("multi")();
            if (!w.index.is_none())
                for (const Command& command : index_commands(index)) call(pipe, command.first, command.second);
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
/// the generation compared, the index written, the entry SET, then the generation read again and
/// the entry deleted when it moved on meanwhile. An invalidation advances the generation before
/// it deletes, so a tile read before it is either deleted by it or found by the second look:
/// visible for at most that one round trip, never kept.
Coro write_by_commands(object client, CheckedWrite w) {
    object reading = client.attr("get")(w.generation_key);
    Held before = co_await std::move(reading);
    if (!same_generation(before, w.generation)) co_return nb::bool_(false);
    if (!w.index.is_none()) {
        IndexWrite index{.index = w.index, .entry = w.entry, .ttl = w.ttl};
        co_await read_index(&index, [&](const char* name, nb::tuple args) { return call(client, name, args); });
        for (const Command& command : index_commands(index)) {
            object sending = call(client, command.first, command.second);
            co_await std::move(sending);
        }
    }
    object writing = client.attr("set")(w.entry, w.value, nb::arg("ex") = w.ttl);
    co_await std::move(writing);
    object rereading = client.attr("get")(w.generation_key);
    Held after = co_await std::move(rereading);
    if (same_generation(after, w.generation)) co_return nb::bool_(true);
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

Coro store_tile(handle key, handle value, handle ttl, std::string layer, handle generation, bool indexed) {
    Held setter = bound::safe_cache_set();
    if (!setter.is(state().own_safe_cache_set)) {  // the host's own write: as it wants it
        object storing = setter(key, value, ttl);
        co_await std::move(storing);
        co_return nb::none();
    }
    if (!generation.is_valid()) {
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
}

}  // namespace vexa::maptile
