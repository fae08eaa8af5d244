// coordinate_batch.cpp: reading GeoJSON-like coordinates for the batch, projecting them in one
// call, and building a feature's geometry once it is known to come near the view.
#include "coordinate_batch.hpp"
#include "module_names.hpp"
#include "projection.hpp"

#include <cmath>
#include <cstring>

namespace vexa::plots {

using namespace nb::literals;

namespace {

/// The module's project_geometry, shape and transform as start-up bound them.
struct OwnProjection {
    object project_geometry, shape, transform;
};

/// Allocated once and never destroyed, like the module it remembers, so that none of its
/// references is released after the interpreter has finalised.
OwnProjection& own_projection() {
    static auto* own = new OwnProjection();
    return *own;
}

}  // namespace

void remember_own_projection() {
    own_projection() = {bound::project_geometry(), bound::shape(), bound::transform()};
}

bool own_projection_in_place() {
    const OwnProjection& own = own_projection();
    return bound::project_geometry().is(own.project_geometry) && bound::shape().is(own.shape) &&
           bound::transform().is(own.transform);
}

namespace {

bool is_list_or_tuple(handle value) { return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()); }

/// The length of a list or tuple, and its item `i`, borrowed from it (is_list_or_tuple() said
/// it is one).
Py_ssize_t size(handle sequence) { return PySequence_Fast_GET_SIZE(sequence.ptr()); }

handle item_at(handle sequence, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(sequence.ptr(), i); }

bool coordinate(handle value, double& out) {
    if (!PyFloat_CheckExact(value.ptr()) && !PyLong_CheckExact(value.ptr())) return false;
    out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return std::isfinite(out);
}

/// A C-contiguous buffer of an object, released when it goes.
class BufferView {
public:
    explicit BufferView(handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) raise_current();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer* operator->() const { return &view_; }

private:
    Py_buffer view_;
};

void read_back(handle array, std::vector<double>& into) {
    const BufferView view(array);
    const bool fits = view->itemsize == sizeof(double) && view->format && std::strcmp(view->format, "d") == 0 &&
                      size_t(view->len) == into.size() * sizeof(double);
    if (!fits) raise(PyExc_RuntimeError, "the transformer returned coordinates of another shape");
    std::memcpy(into.data(), view->buf, size_t(view->len));
}

}  // namespace

bool CoordinateBatch::positions(handle value, Py_ssize_t min_size) {
    if (!is_list_or_tuple(value) || size(value) < min_size) return false;
    for (Py_ssize_t i = 0, n = size(value); i < n; ++i) {
        const handle p = item_at(value, i);
        if (!is_list_or_tuple(p) || size(p) < 2 || size(p) > 3) return false;
        double x, y, z;
        if (!coordinate(item_at(p, 0), x) || !coordinate(item_at(p, 1), y)) return false;
        if (size(p) == 3 && !coordinate(item_at(p, 2), z)) return false;
        xs_.push_back(x);
        ys_.push_back(y);
    }
    return true;
}

template <class Part>
bool CoordinateBatch::parts(handle value, Part part) {
    if (!is_list_or_tuple(value) || size(value) < 1) return false;
    for (Py_ssize_t i = 0, n = size(value); i < n; ++i)
        if (!part(item_at(value, i))) return false;
    return true;
}

bool CoordinateBatch::polygon(handle rings) {
    return parts(rings, [&](handle ring) { return positions(ring, 4); });
}

// Every handle below is borrowed from `geometry`, which the caller holds for the whole call:
// the dict's values, and the items of the lists and tuples inside them. Nothing here runs Python
// code (exact dicts, lists, tuples, floats and ints are read without calling into Python), so
// nothing can change or free them meanwhile, and none is kept once add() returns.
std::optional<CoordinateBatch::Range> CoordinateBatch::add(handle geometry) {
    if (!PyDict_CheckExact(geometry.ptr())) return std::nullopt;
    const handle type = PyDict_GetItemString(geometry.ptr(), "type");
    const handle coordinates = PyDict_GetItemString(geometry.ptr(), "coordinates");
    if (!type || !coordinates || !PyUnicode_Check(type.ptr())) return std::nullopt;
    const char* name = PyUnicode_AsUTF8(type.ptr());
    if (!name) {
        PyErr_Clear();
        return std::nullopt;
    }
    const size_t first = xs_.size();
    bool ok = false;
    if (std::strcmp(name, "LineString") == 0) ok = positions(coordinates, 2);
    else if (std::strcmp(name, "Polygon") == 0) ok = polygon(coordinates);
    else if (std::strcmp(name, "MultiLineString") == 0) ok = parts(coordinates, [&](handle line) { return positions(line, 2); });
    else if (std::strcmp(name, "MultiPolygon") == 0) ok = parts(coordinates, [&](handle p) { return polygon(p); });
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
