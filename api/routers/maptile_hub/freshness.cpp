// freshness.cpp: layer generations and versions in Redis, and the checked tile write.
#include "freshness.hpp"

#include "cache.hpp"
#include "guarded.hpp"
#include "module_state.hpp"
#include "tile_rules.hpp"
#include "transaction.hpp"

namespace vexa::maptile {

namespace {

// KEYS[1] the entry, KEYS[2] its layer's generation, KEYS[3] (when given) a set that indexes
// the entry; ARGV: the bytes, their lifetime in seconds, and the generation read before the
// query that made them. The index lives as long as its newest entry.
constexpr const char* SET_IF_CURRENT = R"(
if (redis.call('GET', KEYS[2]) or '0') ~= ARGV[3] then
    return 0
end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
if KEYS[3] then
    redis.call('SADD', KEYS[3], KEYS[1])
    redis.call('EXPIRE', KEYS[3], ARGV[2])
end
return 1
)";

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
