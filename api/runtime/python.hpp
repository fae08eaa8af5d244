// python.hpp: the Python plumbing both modules are written with.
//
// Contract: every function here either succeeds or throws nb::python_error carrying the Python
// exception that explains why (never a bare C++ exception, never a set-but-unthrown error);
// what it returns is an owned reference unless its type is a handle. A module's globals live in
// a Namespace and are read at call time, as a Python module's functions read theirs, so that
// replacing a module attribute (a test's monkeypatch, a host's configuration) takes effect.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vexa {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// ---------------------------------------------------------------------------------------------
// Errors

/// Raise the Python exception `type` with `message`. The C++ exception that is thrown
/// (nb::python_error) owns the Python exception object, so it can be caught, inspected and
/// rethrown without losing its type or traceback.
[[noreturn]] void raise(handle type, const std::string& message);

/// Throw the Python error that is currently set (a SystemError if, wrongly, none is).
[[noreturn]] void raise_current();

/// Take a new reference returned by the C API; a null pointer means an error is set: throw it.
object steal(PyObject* result);

/// True for an error of the ordinary exception family (Exception and its subclasses): what an
/// "any error" branch may handle. CancelledError, GeneratorExit and KeyboardInterrupt are not.
bool is_exception(const nb::python_error& error);

/// Make whatever a C++ body threw the current Python error: a Python error as itself,
/// std::bad_cast as TypeError, any other std::exception as RuntimeError.
void restore_cpp_exception(const std::exception_ptr& error);

/// The Python error that is set, taken (the indicator is cleared) as a normalised exception
/// instance carrying its traceback; an empty object when none is set.
object fetch_exception();

/// Set `exception` (an instance) as the current error, keeping its traceback.
void set_exception(handle exception);

// ---------------------------------------------------------------------------------------------
// Values

/// str(obj) as UTF-8 text. Throws on an object whose __str__ fails.
std::string text(handle obj);

/// A Python str from UTF-8 text.
nb::str pystr(std::string_view s);

/// format(value, format), as Python formats it (format: "0.2f", ...).
std::string formatted(handle value, const char* format);

/// float(value) for a Python number (anything with __float__ or __index__; TypeError otherwise).
double number(handle value);

/// Python truth of `value`.
bool truthy(handle value);

/// `value <op> other` (Py_LT, Py_EQ, ...), as Python compares.
bool compare(handle value, handle other, int op);

/// `key in container`.
bool contains(handle container, handle key);

/// mapping[key]: the mapping's own error (KeyError, TypeError, ...) when it cannot be read.
object item(handle mapping, handle key);
object item(handle mapping, const char* key);

/// mapping[key], or `fallback` when the mapping has no such key (other errors propagate).
object item_or(handle mapping, const char* key, handle fallback);

/// The builtin types, for annotations and conversions.
namespace builtin {
object str_type();
object int_type();
object float_type();
object bool_type();
object bytes_type();
object tuple_type();
object list_type();
object dict_type();
object type_type();
object object_type();
}  // namespace builtin

// ---------------------------------------------------------------------------------------------
// Late binding

/// A module's namespace, read at call time as a Python module's functions read their globals,
/// so that replacing a module attribute takes effect. Missing names raise NameError.
class Namespace {
public:
    void bind(handle module);
    object operator[](const char* name) const;
    void set(const char* name, handle value) const;
    object module() const { return nb::borrow(module_); }
    handle globals() const { return dict_; }
    const std::string& module_name() const { return module_name_; }

    /// `import module as name`.
    void bind_module(const char* name, const char* module) const;
    /// `from module import name, ...`.
    void bind_from(const char* module, std::initializer_list<const char*> names) const;

private:
    PyObject* module_ = nullptr;  // strong, deliberately never released: modules are immortal
    PyObject* dict_ = nullptr;
    std::string module_name_;
};

}  // namespace vexa
