// versions_watcher.hpp: one watcher per process that reads the layers' versions from Redis while
// any /gis/tile-versions stream wants them, and wakes the streams when they change.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// The versions as the watcher of the running loop read them last (None before its first
/// read), and the asyncio.Event it sets at their next change. Each call counts as wanting them:
/// the watcher is started when none runs and stops WATCHER_IDLE_S after the last call.
struct WatchedVersions {
    object versions;
    object changed;
};
WatchedVersions watched_versions();

/// Keep `versions` (read by a stream itself while the watcher had read none yet).
void offer_versions(handle versions);

}  // namespace vexa::maptile
