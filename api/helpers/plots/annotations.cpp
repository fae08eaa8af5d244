// annotations.cpp: the annotations of the plots module's signatures (see annotations.hpp).
#include "annotations.hpp"

namespace vexa::plots::annotation {

object any() { return nb::module_::import_("typing").attr("Any"); }

object sequence_of(handle item) { return nb::module_::import_("collections.abc").attr("Sequence")[item]; }

object records() {
    object mapping = nb::module_::import_("collections.abc").attr("Mapping");
    return sequence_of(mapping[nb::make_tuple(builtin::str_type(), any())]);
}

object schedule() {
    return builtin::list_type()[builtin::dict_type()[nb::make_tuple(builtin::str_type(), builtin::str_type())]];
}

}  // namespace vexa::plots::annotation
