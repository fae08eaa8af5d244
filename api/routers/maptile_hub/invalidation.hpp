// invalidation.hpp: removing cached entries by layer, entirely or by pattern; the workers
// report a count, the schedulers run them in the background, the endpoint waits for them.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

namespace bound {
object _invalidate_layer_cache_task();
object _invalidate_all_cache_task();
object _invalidate_cache_by_pattern_task();
}  // namespace bound

/// Start-up: the workers and the schedulers.
void define_invalidation();

}  // namespace vexa::maptile
