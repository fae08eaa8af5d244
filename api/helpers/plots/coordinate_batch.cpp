// coordinate_batch.cpp: reading GeoJSON-like coordinates for the batch, projecting them in one
// call, and building a feature's geometry once it is known to come near the view.
#include "coordinate_batch.hpp"
#include "projection.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vexa::plots {

using namespace nb::literals;

void OwnProjection::remember() {
    project_geometry = bound::project_geometry().release().ptr();
    shape = bound::shape().release().ptr();
    transform = bound::transform().release().ptr();
}

bool OwnProjection::in_place() const {
    return bound::project_geometry().ptr() == project_geometry && bound::shape().ptr() == shape &&
           bound::transform().ptr() == transform;
}

namespace {

bool sequence(PyObject* value, Py_ssize_t min_size) {
    return (PyList_Check(value) || PyTuple_Check(value)) && PySequence_Fast_GET_SIZE(value) >= min_size;
}

bool coordinate(PyObject* value, double& out) {
    if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) return false;
    out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return std::isfinite(out);
}

void read_back(handle array, std::vector<double>& into) {
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) throw nb::python_error();
    const bool fits = view.itemsize == sizeof(double) && view.format && std::strcmp(view.format, "d") == 0 &&
                      size_t(view.len) == into.size() * sizeof(double);
    if (fits) std::memcpy(into.data(), view.buf, size_t(view.len));
    PyBuffer_Release(&view);
    if (!fits) throw std::runtime_error("the transformer returned coordinates of another shape");
}

}  // namespace

bool CoordinateBatch::positions(PyObject* value, Py_ssize_t min_size) {
    if (!sequence(value, min_size)) return false;
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(value); i < n; ++i) {
        PyObject* p = items[i];
        if (!sequence(p, 2) || PySequence_Fast_GET_SIZE(p) > 3) return false;
        PyObject** xyz = PySequence_Fast_ITEMS(p);
        double x, y, z;
        if (!coordinate(xyz[0], x) || !coordinate(xyz[1], y)) return false;
        if (PySequence_Fast_GET_SIZE(p) == 3 && !coordinate(xyz[2], z)) return false;
        xs_.push_back(x);
        ys_.push_back(y);
    }
    return true;
}

template <class Part>
bool CoordinateBatch::parts(PyObject* value, Part part) {
    if (!sequence(value, 1)) return false;
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(value); i < n; ++i)
        if (!part(items[i])) return false;
    return true;
}

bool CoordinateBatch::polygon(PyObject* rings) {
    return parts(rings, [&](PyObject* ring) { return positions(ring, 4); });
}

std::optional<CoordinateBatch::Range> CoordinateBatch::add(handle geometry) {
    if (!PyDict_CheckExact(geometry.ptr())) return std::nullopt;
    PyObject* type = PyDict_GetItemString(geometry.ptr(), "type");
    PyObject* coordinates = PyDict_GetItemString(geometry.ptr(), "coordinates");
    if (!type || !coordinates || !PyUnicode_Check(type)) return std::nullopt;
    const char* name = PyUnicode_AsUTF8(type);
    if (!name) {
        PyErr_Clear();
        return std::nullopt;
    }
    const size_t first = xs_.size();
    bool ok = false;
    if (std::strcmp(name, "LineString") == 0) ok = positions(coordinates, 2);
    else if (std::strcmp(name, "Polygon") == 0) ok = polygon(coordinates);
    else if (std::strcmp(name, "MultiLineString") == 0) ok = parts(coordinates, [&](PyObject* line) { return positions(line, 2); });
    else if (std::strcmp(name, "MultiPolygon") == 0) ok = parts(coordinates, [&](PyObject* p) { return polygon(p); });
    if (!ok) {
        xs_.resize(first);
        ys_.resize(first);
        return std::nullopt;
    }
    return Range{first, xs_.size() - first};
}

void CoordinateBatch::project() {
    if (xs_.empty()) return;
    object np = bound::np();
    auto array = [&](const std::vector<double>& v) {
        return np.attr("frombuffer")(nb::bytes(v.data(), v.size() * sizeof(double)), "dtype"_a = "float64");
    };
    object out = bound::TRANSFORMER().attr("transform")(array(xs_), array(ys_));
    read_back(out[nb::int_(0)], xs_);
    read_back(out[nb::int_(1)], ys_);
    projected_ = true;
}

std::optional<Bounds> CoordinateBatch::bounds(Range r) const {
    if (!projected_) return std::nullopt;
    return bounds_of(xs_.data() + r.first, ys_.data() + r.first, r.count);
}

Feature feature(handle record, CoordinateBatch* batch) {
    Feature f;
    object geometry = item(record, "geometry");
    if (batch)
        if (std::optional<CoordinateBatch::Range> range = batch->add(geometry)) {
            f.source = geometry;
            f.range = *range;
            return f;
        }
    f.geom = projected_geometry(geometry);
    return f;
}

object reaching(Feature& f, const CoordinateBatch& batch, Bounds near_view) {
    if (f.geom.is_valid()) return f.geom;
    std::optional<Bounds> b = batch.bounds(f.range);
    if (b && apart(*b, near_view)) return object();
    f.geom = projected_geometry(f.source);
    return f.geom;
}

}  // namespace vexa::plots
