// function.cpp: the function object type, argument binding and signatures (see function.hpp).
#include "function.hpp"

#include <structmember.h>

#include <memory>
#include <type_traits>

namespace vexa {

handle Args::operator[](std::string_view name) const {
    for (size_t i = 0; i < params_->size(); ++i)
        if ((*params_)[i].name == name) return values_[i];
    raise(PyExc_SystemError, "no parameter '" + std::string(name) + "' is declared");
}

int Args::traverse(visitproc visit, void* arg) const {
    for (const object& value : values_) Py_VISIT(value.ptr());
    return 0;
}

void Args::clear() {
    for (object& value : values_) value.reset();
}

namespace {

PyTypeObject* function_type = nullptr;

/// What a function object owns besides its header; made and destroyed as one.
struct FunctionState {
    std::unique_ptr<FunctionSpec> description;
    object names;  // tuple of the parameter names
    object name;
    object qualname;
    object code;
    object globals;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;         // CPython's own (__dictoffset__): managed by its generic dict access
    PyObject* weakreflist;  // CPython's own (__weaklistoffset__)
    FunctionState state;
};
static_assert(std::is_standard_layout_v<FunctionObject>, "the type's member offsets are offsetof");

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

PyObject* function_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionState& self = as_function(op)->state;
    const std::vector<Param>& params = self.description->params;
    const Py_ssize_t nparams = Py_ssize_t(params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", self.qualname.ptr(), nparams,
                     nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    try {
        std::vector<object> bound(params.size());
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = nb::borrow(args[i]);
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = 0;
            for (; j < nparams; ++j) {
                PyObject* name = PyTuple_GET_ITEM(self.names.ptr(), j);
                if (name == key || PyUnicode_Compare(name, key) == 0) break;
            }
            if (j == nparams) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", self.qualname.ptr(), key);
                return nullptr;
            }
            if (bound[j].is_valid()) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", self.qualname.ptr(), key);
                return nullptr;
            }
            bound[j] = nb::borrow(args[nargs + k]);
        }
        std::vector<std::string> missing;
        for (Py_ssize_t j = 0; j < nparams; ++j) {
            if (bound[j].is_valid()) continue;
            if (params[j].default_value.is_valid())
                bound[j] = params[j].default_value;
            else
                missing.push_back(params[j].name);
        }
        if (!missing.empty()) {
            PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", self.qualname.ptr(),
                         Py_ssize_t(missing.size()), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
            return nullptr;
        }
        Args bound_args(params, std::move(bound));
        if (self.description->async_body) {
            // The coroutine keeps the function alive: its arguments point into the description.
            CoroutineInfo info{self.name, self.qualname, self.code, self.globals, nb::borrow(op)};
            return make_coroutine(std::move(info), std::move(bound_args), self.description->async_body).release().ptr();
        }
        object result = self.description->sync_body(bound_args);
        return result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    } catch (...) {
        restore_cpp_exception(std::current_exception());
        return nullptr;
    }
}

PyObject* function_descr_get(PyObject* op, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(op);
    return PyMethod_New(op, instance);
}

int function_traverse(PyObject* op, visitproc visit, void* arg) {
    FunctionObject* self = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->dict);
    Py_VISIT(self->state.globals.ptr());
    if (const FunctionSpec* description = self->state.description.get()) {
        for (const Param& p : description->params) {
            Py_VISIT(p.annotation.ptr());
            Py_VISIT(p.default_value.ptr());
        }
        Py_VISIT(description->return_annotation.ptr());
    }
    return 0;
}

int function_clear(PyObject* op) {
    Py_CLEAR(as_function(op)->dict);
    return 0;
}

void function_dealloc(PyObject* op) {
    FunctionObject* self = as_function(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist) PyObject_ClearWeakRefs(op);
    function_clear(op);
    self->state.~FunctionState();
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->state.qualname.ptr(), op);
}

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_doc, const_cast<char*>("A function whose body is C++.")},
    {0, nullptr}};

/// A code object that marks the function for inspect: CO_COROUTINE for coroutine functions.
object make_code(const std::string& file, const std::string& name, bool coroutine) {
    object code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file.c_str(), name.c_str(), 1)));
    if (!coroutine) return code;
    long flags = nb::cast<long>(code.attr("co_flags"));
    return code.attr("replace")(nb::arg("co_flags") = flags | CO_COROUTINE);
}

}  // namespace

object make_function(const Namespace& ns, FunctionSpec description) {
    if (!function_type) raise(PyExc_SystemError, "the function type is not initialised");
    if (description.qualname.empty()) description.qualname = description.name;
    const bool is_async = description.async_body != nullptr;
    object inspect = nb::module_::import_("inspect");
    object parameter = inspect.attr("Parameter");
    object empty = parameter.attr("empty");
    object kind = parameter.attr("POSITIONAL_OR_KEYWORD");

    nb::list parameters;
    nb::dict annotations;
    nb::list defaults;
    object names = steal(PyTuple_New(Py_ssize_t(description.params.size())));
    for (size_t i = 0; i < description.params.size(); ++i) {
        const Param& p = description.params[i];
        nb::str name = pystr(p.name);
        PyTuple_SET_ITEM(names.ptr(), Py_ssize_t(i), name.inc_ref().ptr());
        if (p.annotation.is_valid()) annotations[name] = p.annotation;
        if (p.default_value.is_valid())
            defaults.append(p.default_value);
        else
            defaults = nb::list();  // only a trailing run of defaults forms __defaults__
        parameters.append(parameter(name, kind,
                                    nb::arg("default") = p.default_value.is_valid() ? p.default_value : empty,
                                    nb::arg("annotation") = p.annotation.is_valid() ? p.annotation : empty));
    }
    if (description.return_annotation.is_valid()) annotations["return"] = description.return_annotation;
    object signature = inspect.attr("Signature")(
        parameters, nb::arg("return_annotation") = description.return_annotation.is_valid() ? description.return_annotation : empty);

    // Everything that can fail is made before the object, which then only takes ownership.
    object name = pystr(description.name), qualname = pystr(description.qualname);
    object code = make_code(ns.module_name(), description.name, is_async);
    object dict = steal(PyDict_New());
    auto owned_spec = std::make_unique<FunctionSpec>(std::move(description));

    auto* self = PyObject_GC_New(FunctionObject, function_type);
    if (!self) raise_current();
    self->vectorcall = function_vectorcall;
    self->weakreflist = nullptr;
    self->dict = dict.release().ptr();
    new (&self->state) FunctionState{.description = std::move(owned_spec),
                                     .names = std::move(names),
                                     .name = std::move(name),
                                     .qualname = std::move(qualname),
                                     .code = std::move(code),
                                     .globals = nb::borrow(ns.globals())};
    object function = nb::steal(reinterpret_cast<PyObject*>(self));
    PyObject_GC_Track(self);

    nb::dict attrs = nb::borrow<nb::dict>(self->dict);
    const FunctionState& state = self->state;
    attrs["__name__"] = state.name;
    attrs["__qualname__"] = state.qualname;
    attrs["__module__"] = pystr(ns.module_name());
    attrs["__doc__"] = state.description->doc.empty() ? nb::none() : object(pystr(state.description->doc));
    attrs["__defaults__"] = defaults.size() ? object(nb::tuple(defaults)) : nb::none();
    attrs["__kwdefaults__"] = nb::none();
    attrs["__annotations__"] = annotations;
    attrs["__signature__"] = signature;
    attrs["__code__"] = state.code;
    return function;
}

CoroutineInfo native_body_info(const Namespace& ns, const char* name) {
    return {pystr(name), pystr(name), make_code(ns.module_name(), name, true), nb::borrow(ns.globals()), object()};
}

object make_method(const Namespace& ns, const char* cls, FunctionSpec description) {
    description.qualname = std::string(cls) + "." + description.name;
    return make_function(ns, std::move(description));
}

object define(const Namespace& ns, FunctionSpec description) {
    std::string name = description.name;
    object function = make_function(ns, std::move(description));
    ns.set(name.c_str(), function);
    return function;
}

object make_class(const Namespace& ns, const char* name, const char* doc, nb::dict members) {
    members["__module__"] = pystr(ns.module_name());
    members["__qualname__"] = pystr(name);
    members["__doc__"] = pystr(doc);
    return builtin::type_type()(pystr(name), nb::make_tuple(builtin::object_type()), members);
}

void init_function_type(handle module) {
    static std::string name = text(module.attr("__name__")) + ".NativeFunction";
    static PyType_Spec description = {
        name.c_str(), sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
        function_slots};
    function_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&description)).release().ptr());
    module.attr("NativeFunction") = nb::handle(reinterpret_cast<PyObject*>(function_type));
}

}  // namespace vexa
