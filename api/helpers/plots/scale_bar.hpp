// scale_bar.hpp: add_scale_bar, an alternating black and white bar of four steps in the lower
// right corner of the view, labelled outwards from a zero at its middle.
#pragma once

#include "runtime.hpp"

namespace vexa::plots {

/// Bind add_scale_bar in the module namespace (start-up).
void define_scale_bar();

}  // namespace vexa::plots
