// conversions.cpp: a shapely point to its (x, y), a record's text to the text matplotlib draws.
#include "conversions.hpp"

namespace vexa::plots {

Vec point_xy(handle point) { return {number(point.attr("x")), number(point.attr("y"))}; }

object literal_text(handle value) {
    if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);
    const Py_ssize_t dollar = PyUnicode_FindChar(value.ptr(), '$', 0, PyUnicode_GetLength(value.ptr()), 1);
    if (dollar == -2) raise_current();
    if (dollar == -1) return nb::borrow(value);
    return steal(PyUnicode_Replace(value.ptr(), pystr("$").ptr(), pystr("\\$").ptr(), -1));
}

}  // namespace vexa::plots
