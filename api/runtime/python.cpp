// python.cpp: errors, values and late binding (see python.hpp).
#include "python.hpp"

#include <typeinfo>

namespace vexa {

void raise(handle type, const std::string& message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw nb::python_error();
}

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

object steal(PyObject* result) {
    if (!result) raise_current();
    return nb::steal(result);
}

bool is_exception(const nb::python_error& error) { return error.matches(PyExc_Exception); }

void restore_cpp_exception(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

object fetch_exception() {
    if (!PyErr_Occurred()) return object();
    nb::python_error error;  // takes the indicator, normalised, its traceback on the instance
    return nb::borrow(error.value());
}

void set_exception(handle exception) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))), Py_NewRef(exception.ptr()),
                  PyException_GetTraceback(exception.ptr()));
}

std::string text(handle obj) {
    object s = steal(PyObject_Str(obj.ptr()));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) raise_current();
    return std::string(data, static_cast<size_t>(size));
}

nb::str pystr(std::string_view s) {
    return nb::steal<nb::str>(steal(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()))).release());
}

std::string formatted(handle value, const char* format) {
    return text(steal(PyObject_Format(value.ptr(), pystr(format).ptr())));
}

double number(handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) raise_current();
    return result;
}

bool truthy(handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) raise_current();
    return result == 1;
}

bool compare(handle value, handle other, int op) {
    int result = PyObject_RichCompareBool(value.ptr(), other.ptr(), op);
    if (result < 0) raise_current();
    return result == 1;
}

bool contains(handle container, handle key) {
    int found = PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) raise_current();
    return found == 1;
}

object item(handle mapping, handle key) { return steal(PyObject_GetItem(mapping.ptr(), key.ptr())); }

object item(handle mapping, const char* key) { return item(mapping, pystr(key)); }

object item_or(handle mapping, const char* key, handle fallback) {
    PyObject* value = PyObject_GetItem(mapping.ptr(), pystr(key).ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_current();
    PyErr_Clear();
    return nb::borrow(fallback);
}

namespace builtin {
namespace {
object type(PyTypeObject& t) { return nb::borrow(reinterpret_cast<PyObject*>(&t)); }
}  // namespace
object str_type() { return type(PyUnicode_Type); }
object int_type() { return type(PyLong_Type); }
object float_type() { return type(PyFloat_Type); }
object bool_type() { return type(PyBool_Type); }
object bytes_type() { return type(PyBytes_Type); }
object tuple_type() { return type(PyTuple_Type); }
object list_type() { return type(PyList_Type); }
object dict_type() { return type(PyDict_Type); }
object type_type() { return type(PyType_Type); }
object object_type() { return type(PyBaseObject_Type); }
}  // namespace builtin

void Namespace::bind(handle module) {
    module_ = Py_NewRef(module.ptr());
    dict_ = PyModule_GetDict(module_);
    module_name_ = text(module.attr("__name__"));
}

object Namespace::operator[](const char* name) const {
    PyObject* value = PyDict_GetItemString(dict_, name);  // borrowed
    if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(value);
}

void Namespace::set(const char* name, handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) raise_current();
}

void Namespace::bind_module(const char* name, const char* module) const {
    set(name, nb::module_::import_(module));
}

void Namespace::bind_from(const char* module, std::initializer_list<const char*> names) const {
    object source = nb::module_::import_(module);
    for (const char* name : names) set(name, source.attr(name));
}

}  // namespace vexa
