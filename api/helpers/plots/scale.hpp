// scale.hpp: get_recommended_scale, the standard scale at which a survey extent fits the paper.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind get_recommended_scale in the module namespace (start-up).
void define_scale();

}  // namespace vexa::plots
