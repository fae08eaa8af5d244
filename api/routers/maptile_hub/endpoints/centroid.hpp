// centroid.hpp: a layer's centroid, extent and suggested first tile (centroid.cpp).
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// What the centroid endpoint answers for `layer_name` (a layer of the catalogue): the cached
/// answer, or one computed with `db` and cached; None when the layer has no estimable extent.
/// A failing query is answered as the endpoint answers it (408, 500).
Coro layer_centroid(handle layer_name, handle db);

}  // namespace vexa::maptile
