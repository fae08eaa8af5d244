// freshness.hpp: each layer's generation and version in Redis. Every invalidation of a layer
// advances its generation before it deletes anything and publishes the generation as the
// layer's version once it has; a tile is stored only while its layer's generation is still the
// one read before its query, so a tile computed from data older than an invalidation is never
// stored after it, and a client that asks for tiles of the new version gets no old ones.
#pragma once

#include "hub.hpp"

#include <string>
#include <vector>

namespace vexa::maptile {

/// The Redis keys of a layer's generation and version ("tile_generation:" and "tile_version:",
/// the cache's namespace, ":" and the layer), beside the cache's keys, never matched by its
/// patterns and never expiring.
std::string generation_key(const std::string& layer);
std::string version_key(const std::string& layer);

/// The Redis set that names a layer's bounding-box entries (the entries' keys, namespace
/// included), so that an edit finds them without walking the key space.
std::string bbox_index_key(const std::string& layer);

/// The names of the catalogue's layers, in order.
std::vector<std::string> layer_names();

/// The layers a cache pattern (as the pattern invalidation takes it) can reach: the one it
/// names first ("plots:18:*", "bbox:plots:*", "centroid:plots"), or every layer.
std::vector<std::string> layers_of_pattern(const std::string& pattern);

/// INCR the generation of each of `layers` (through `client`), before anything is deleted: a
/// list of the generations they were advanced to.
Coro advance_generations(object client, std::vector<std::string> layers);

/// Publish each of `generations` (advance_generations's list) as the version of its layer, once
/// the layer's entries are deleted, unless a later one is published already: a version never
/// goes back, whichever of two invalidations finishes first.
Coro publish_versions(object client, std::vector<std::string> layers, object generations);

/// The generation of `layer` as stored now (b"0" when it has none), read through the cache's
/// client under the cache's breaker and time limit; an empty object when it cannot be read.
Coro read_generation(std::string layer);

/// {layer: version} for every layer, each version the Redis epoch (a token made when Redis first
/// holds none, so versions never repeat across a Redis that lost its data), a period and the
/// layer's published generation ("0" for none yet); an empty object when Redis cannot be read.
Coro read_versions();

/// A tile's write, checked against its layer's generation: the entry's key (namespace included),
/// the bytes and their lifetime, the generation's key and the generation read before the query,
/// and the layer's bounding-box index (None for a tile that is not a box's).
struct CheckedWrite {
    object entry, value, ttl, generation_key, generation, index;
};

/// Write `w` on `client` unless its layer's generation has moved on: true when it was stored.
/// One script where the client's Redis runs scripts; WATCH/MULTI/EXEC where it does not (as
/// safe: the write lands only while the generation is unchanged); single commands where it runs
/// neither (the generation compared before the write and again after it, the entry stored for a
/// few seconds until then and deleted when it moved on: a stale tile is visible for at most one
/// round trip, or a few seconds should the second look never come).
Coro write_if_current(object client, CheckedWrite w);

/// The module's own safe_cache_set of a tile computed after `generation` (None when unknown:
/// nothing is stored) was read for `layer`: through the cache's set_if_current, so that it is
/// not stored when the layer has been invalidated since (and, when `indexed`, is named in the
/// layer's bounding-box index).
Coro store_if_current(handle key, handle value, handle ttl, std::string layer, handle generation, bool indexed);


}  // namespace vexa::maptile
