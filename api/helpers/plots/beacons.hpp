// beacons.hpp: draw_beacon_labels, the beacon pass of a plan: a dot and the name of every
// corner beacon, and along every boundary edge its stored bearing and distance, or, for an
// edge too short to carry them, an entry in the schedule.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind draw_beacon_labels in the module namespace (start-up).
void define_beacons();

}  // namespace vexa::plots
