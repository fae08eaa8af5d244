// scale.hpp: get_recommended_scale, the standard scale at which a survey extent fits the paper.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind get_recommended_scale in the module namespace (start-up).
void define_scale();

namespace bound {
/// The module's get_recommended_scale as bound now: a replacement takes effect on the next call.
object get_recommended_scale();
}  // namespace bound

}  // namespace vexa::plots
