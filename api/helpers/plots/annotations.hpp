// annotations.hpp: the annotations of the plots module's signatures, as its stubs write them.
#pragma once

#include "runtime.hpp"

namespace vexa::plots::annotation {

object any();                     // typing.Any
object sequence_of(handle item);  // collections.abc.Sequence[item]
object records();                 // Sequence[Mapping[str, Any]]
object schedule();                // list[dict[str, str]]

}  // namespace vexa::plots::annotation
