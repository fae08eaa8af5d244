// north_arrow.hpp: add_north_arrow, an arrow pointing to grid north with an "N" above its tip.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind add_north_arrow in the module namespace (start-up).
void define_north_arrow();

}  // namespace vexa::plots
