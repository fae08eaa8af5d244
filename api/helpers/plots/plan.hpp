// plan.hpp: generate_plot, the survey plan of one parcel at a standard scale, as Base64 PNG.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind generate_plot in the module namespace (start-up; the module's other functions first).
void define_plan();

}  // namespace vexa::plots
