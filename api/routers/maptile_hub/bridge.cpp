// bridge.cpp: the coroutine and function object types, late binding, errors, async for/with.
#include "bridge.hpp"

#include <structmember.h>

#include <cstring>
#include <new>
#include <utility>

namespace vexa {

namespace {

PyTypeObject* coroutine_type = nullptr;
PyTypeObject* function_type = nullptr;

/// The Python error that is set, as a normalised exception instance carrying its traceback.
PyObject* fetch_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

/// Set `exception` (an instance) as the current error, keeping its traceback.
void set_exception(PyObject* exception) {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), Py_NewRef(exception),
                  PyException_GetTraceback(exception));
}

/// Translate whatever a C++ body threw into the current Python error.
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

/// The iterator that `await awaitable` drives.
object await_iterator(handle awaitable) {
    PyTypeObject* type = Py_TYPE(awaitable.ptr());
    if (PyCoro_CheckExact(awaitable.ptr()) || type == coroutine_type) return nb::borrow(awaitable);
    if (type->tp_as_async && type->tp_as_async->am_await) {
        object iterator = steal(type->tp_as_async->am_await(awaitable.ptr()));
        if (PyCoro_CheckExact(iterator.ptr()))
            raise(PyExc_TypeError, "__await__() returned a coroutine");
        if (!PyIter_Check(iterator.ptr()))
            raise(PyExc_TypeError, std::string("__await__() returned non-iterator of type '") +
                                       Py_TYPE(iterator.ptr())->tp_name + "'");
        return iterator;
    }
    raise(PyExc_TypeError,
          std::string("object ") + type->tp_name + " can't be used in 'await' expression");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors and text

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

// ---------------------------------------------------------------------------------------------
// The coroutine object

namespace {

struct CoroutineObject {
    PyObject_HEAD
    Coro::frame_handle frame;  // empty once the body has finished or been closed
    PyObject* awaiting;        // the iterator the body is suspended on
    PyObject* sent;            // what the pending await gives the body
    PyObject* thrown;          // or the exception it raises there
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* weakreflist;
    bool started;
    bool running;
};

CoroutineObject* as_coroutine(PyObject* op) { return reinterpret_cast<CoroutineObject*>(op); }

void destroy_frame(CoroutineObject* self) {
    if (!self->frame) return;
    Coro::frame_handle frame = std::exchange(self->frame, {});
    frame.promise().owner = nullptr;
    frame.destroy();
}

/// The frame has finished: hand its result or error to the caller and free it.
PySendResult finish(CoroutineObject* self, PyObject** out) {
    auto& promise = self->frame.promise();
    object result = std::move(promise.result);
    std::exception_ptr error = std::move(promise.error);
    destroy_frame(self);
    if (!error) {
        *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    restore_cpp_exception(error);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // As in Python: a StopIteration escaping a coroutine would read as its return.
        PyObject* cause = fetch_exception();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* replacement = fetch_exception();
        PyException_SetCause(replacement, Py_NewRef(cause));
        PyException_SetContext(replacement, cause);
        set_exception(replacement);
        Py_DECREF(replacement);
    }
    *out = nullptr;
    return PYGEN_ERROR;
}

/// Throw `exception` into the awaited iterator, as `yield from` does.
PySendResult throw_into(PyObject* iterator, PyObject* exception, PyObject** out) {
    PyObject* method = PyObject_GetAttrString(iterator, "throw");
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PYGEN_ERROR;
        PyErr_Clear();
        set_exception(exception);
        return PYGEN_ERROR;
    }
    *out = PyObject_CallOneArg(method, exception);
    Py_DECREF(method);
    if (*out) return PYGEN_NEXT;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    PyObject* stop = fetch_exception();
    *out = PyObject_GetAttrString(stop, "value");
    Py_DECREF(stop);
    return *out ? PYGEN_RETURN : PYGEN_ERROR;
}

/// Record how the awaited iterator ended, for the body's pending await.
void settle(CoroutineObject* self, PySendResult status, PyObject* value) {
    Py_CLEAR(self->awaiting);
    if (status == PYGEN_RETURN)
        self->sent = value;
    else
        self->thrown = fetch_exception();
}

enum class Mode { send, throw_in };

/// One step of the coroutine: deliver `value` (sent, or an exception thrown in) to what the
/// body awaits, then run the body until it awaits something that yields to the event loop.
PySendResult drive(CoroutineObject* self, Mode mode, PyObject* value, PyObject** out) {
    *out = nullptr;
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!self->frame) {
        if (mode == Mode::send)
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        else
            set_exception(value);
        return PYGEN_ERROR;
    }
    struct Running {
        CoroutineObject* self;
        explicit Running(CoroutineObject* s) : self(s) { self->running = true; }
        ~Running() { self->running = false; }
    } running(self);

    if (!self->started) {
        if (mode == Mode::throw_in) {
            self->started = true;
            destroy_frame(self);
            set_exception(value);
            return PYGEN_ERROR;
        }
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->started = true;
    } else if (self->awaiting) {
        PyObject* result = nullptr;
        PySendResult status = mode == Mode::send ? PyIter_Send(self->awaiting, value, &result)
                                                 : throw_into(self->awaiting, value, &result);
        if (status == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        settle(self, status, result);
    }
    for (;;) {
        self->frame.resume();
        if (self->frame.done()) return finish(self, out);
        PyObject* result = nullptr;
        PySendResult status = PyIter_Send(self->awaiting, Py_None, &result);
        if (status == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        settle(self, status, result);
    }
}

/// Raise StopIteration(value) the way a returning generator does.
PyObject* stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PyObject* step_result(PySendResult status, PyObject* result) {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) return stop_iteration(result);
    return nullptr;
}

PySendResult coro_am_send(PyObject* op, PyObject* arg, PyObject** out) {
    return drive(as_coroutine(op), Mode::send, arg, out);
}

PyObject* coro_iternext(PyObject* op) {
    PyObject* result = nullptr;
    PySendResult status = drive(as_coroutine(op), Mode::send, Py_None, &result);
    return step_result(status, result);
}

PyObject* coro_send(PyObject* op, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult status = drive(as_coroutine(op), Mode::send, arg, &result);
    return step_result(status, result);
}

PyObject* coro_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* traceback = nargs > 2 ? args[2] : Py_None;
    PyObject* exception;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = Py_NewRef(type);
    } else if (PyExceptionClass_Check(type)) {
        if (PyObject_IsInstance(value, type) == 1)
            exception = Py_NewRef(value);
        else if (value == Py_None)
            exception = PyObject_CallNoArgs(type);
        else
            exception = PyObject_CallOneArg(type, value);
        if (!exception) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != Py_None && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return nullptr;
    }
    PyObject* result = nullptr;
    PySendResult status = drive(as_coroutine(op), Mode::throw_in, exception, &result);
    Py_DECREF(exception);
    return step_result(status, result);
}

PyObject* coro_close(PyObject* op, PyObject*) {
    CoroutineObject* self = as_coroutine(op);
    if (!self->frame) Py_RETURN_NONE;
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!self->started) {
        self->started = true;
        destroy_frame(self);
        Py_RETURN_NONE;
    }
    // Close what the body awaits first, then raise GeneratorExit at the body's await.
    PyObject* pending = nullptr;
    if (PyObject* iterator = std::exchange(self->awaiting, nullptr)) {
        if (PyObject* close = PyObject_GetAttrString(iterator, "close")) {
            PyObject* r = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (r)
                Py_DECREF(r);
            else
                pending = fetch_exception();
        } else {
            PyErr_Clear();
        }
        Py_DECREF(iterator);
    }
    if (!pending) pending = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!pending) return nullptr;
    Py_XSETREF(self->thrown, pending);
    self->running = true;
    self->frame.resume();
    self->running = false;
    if (!self->frame.done()) {
        Py_CLEAR(self->awaiting);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    PyObject* result;
    if (finish(self, &result) == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* op) { return Py_NewRef(op); }

void coro_finalize(PyObject* op) {
    CoroutineObject* self = as_coroutine(op);
    if (!self->frame || !self->started) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* result = coro_close(op, nullptr);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(op);
    PyErr_Restore(type, value, traceback);
}

int coro_traverse(PyObject* op, visitproc visit, void* arg) {
    CoroutineObject* self = as_coroutine(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->awaiting);
    Py_VISIT(self->sent);
    Py_VISIT(self->thrown);
    Py_VISIT(self->code);
    return 0;
}

int coro_clear(PyObject* op) {
    CoroutineObject* self = as_coroutine(op);
    Py_CLEAR(self->awaiting);
    Py_CLEAR(self->sent);
    Py_CLEAR(self->thrown);
    return 0;
}

void coro_dealloc(PyObject* op) {
    CoroutineObject* self = as_coroutine(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist) PyObject_ClearWeakRefs(op);
    PyObject_GC_Track(op);
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
    PyObject_GC_UnTrack(op);
    destroy_frame(self);
    coro_clear(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* coro_repr(PyObject* op) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(op)->qualname, op);
}

PyObject* get_name(PyObject* op, void*) { return Py_NewRef(as_coroutine(op)->name); }
PyObject* get_qualname(PyObject* op, void*) { return Py_NewRef(as_coroutine(op)->qualname); }
PyObject* get_await(PyObject* op, void*) {
    PyObject* awaiting = as_coroutine(op)->awaiting;
    return Py_NewRef(awaiting ? awaiting : Py_None);
}
PyObject* get_running(PyObject* op, void*) { return PyBool_FromLong(as_coroutine(op)->running); }
PyObject* get_frame(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* op, void*) { return Py_NewRef(as_coroutine(op)->code); }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into the coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "throw(value) -> raise an exception in the coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_doc, const_cast<char*>("A coroutine whose body is C++, driven like any Python coroutine.")},
    {0, nullptr}};

}  // namespace

object Coro::into_python(handle name, handle qualname, handle code) && {
    auto* self = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!self) raise_current();
    self->frame = std::exchange(frame_, {});
    self->frame.promise().owner = reinterpret_cast<PyObject*>(self);
    self->awaiting = self->sent = self->thrown = self->weakreflist = nullptr;
    self->name = Py_NewRef(name.ptr());
    self->qualname = Py_NewRef(qualname.ptr());
    self->code = Py_NewRef(code.ptr());
    self->started = self->running = false;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

Coro::Awaiter Coro::promise_type::await_transform(object awaitable) {
    return Awaiter{await_iterator(awaitable), this};
}

Coro::Awaiter Coro::promise_type::await_transform(AsyncIter::Next next) {
    return Awaiter{await_iterator(next.awaitable), this, true};
}

void Coro::Awaiter::await_suspend(frame_handle) noexcept {
    as_coroutine(promise->owner)->awaiting = iterator.release().ptr();
}

object Coro::Awaiter::await_resume() {
    CoroutineObject* self = as_coroutine(promise->owner);
    if (PyObject* exception = std::exchange(self->thrown, nullptr)) {
        if (stop_async_iteration_ends &&
            PyErr_GivenExceptionMatches(exception, PyExc_StopAsyncIteration)) {
            Py_DECREF(exception);
            return object();
        }
        set_exception(exception);
        Py_DECREF(exception);
        throw nb::python_error();
    }
    PyObject* value = std::exchange(self->sent, nullptr);
    return value ? nb::steal(value) : nb::none();
}

// ---------------------------------------------------------------------------------------------
// The function object

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakreflist;
    FunctionSpec* spec;
    PyObject* names;  // tuple of the parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
};

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
    FunctionObject* self = as_function(op);
    const std::vector<Param>& params = self->spec->params;
    const Py_ssize_t nparams = Py_ssize_t(params.size());
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                     self->qualname, nparams, nparams == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    try {
        Args bound(params.size());
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = nb::borrow(args[i]);
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = 0;
            for (; j < nparams; ++j) {
                PyObject* name = PyTuple_GET_ITEM(self->names, j);
                if (name == key || PyUnicode_Compare(name, key) == 0) break;
            }
            if (j == nparams) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                             self->qualname, key);
                return nullptr;
            }
            if (bound[j].is_valid()) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'",
                             self->qualname, key);
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
            PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s",
                         self->qualname, Py_ssize_t(missing.size()), missing.size() == 1 ? "" : "s",
                         quoted_list(missing).c_str());
            return nullptr;
        }
        if (self->spec->async_body) {
            Coro body = self->spec->async_body(std::move(bound));
            return std::move(body).into_python(self->name, self->qualname, self->code).release().ptr();
        }
        object result = self->spec->sync_body(bound);
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
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(as_function(op)->dict);
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
    Py_CLEAR(self->names);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    delete self->spec;
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
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

object make_function(const Namespace& ns, FunctionSpec spec) {
    if (spec.qualname.empty()) spec.qualname = spec.name;
    const bool is_async = spec.async_body != nullptr;
    object inspect = nb::module_::import_("inspect");
    object parameter = inspect.attr("Parameter");
    object empty = parameter.attr("empty");
    object kind = parameter.attr("POSITIONAL_OR_KEYWORD");

    nb::list parameters;
    nb::dict annotations;
    nb::list defaults;
    object names = steal(PyTuple_New(Py_ssize_t(spec.params.size())));
    for (size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
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
    if (spec.return_annotation.is_valid()) annotations["return"] = spec.return_annotation;
    object signature = inspect.attr("Signature")(
        parameters, nb::arg("return_annotation") =
                        spec.return_annotation.is_valid() ? spec.return_annotation : empty);

    auto* self = PyObject_GC_New(FunctionObject, function_type);
    if (!self) raise_current();
    self->vectorcall = function_vectorcall;
    self->dict = self->weakreflist = nullptr;
    self->names = names.release().ptr();
    self->name = pystr(spec.name).release().ptr();
    self->qualname = pystr(spec.qualname).release().ptr();
    self->code = make_code(ns.module_name(), spec.name, is_async).release().ptr();
    object dict_owner = nb::steal(reinterpret_cast<PyObject*>(self));  // owns self from here on
    self->spec = new FunctionSpec(std::move(spec));
    self->dict = PyDict_New();
    PyObject_GC_Track(self);
    if (!self->dict) raise_current();

    nb::dict attrs = nb::borrow<nb::dict>(self->dict);
    attrs["__name__"] = nb::handle(self->name);
    attrs["__qualname__"] = nb::handle(self->qualname);
    attrs["__module__"] = pystr(ns.module_name());
    attrs["__doc__"] = self->spec->doc.empty() ? nb::none() : object(pystr(self->spec->doc));
    attrs["__defaults__"] = defaults.size() ? object(nb::tuple(defaults)) : nb::none();
    attrs["__kwdefaults__"] = nb::none();
    attrs["__annotations__"] = annotations;
    attrs["__signature__"] = signature;
    attrs["__code__"] = nb::handle(self->code);
    return dict_owner;
}

object make_class(const Namespace& ns, const char* name, const char* doc, nb::dict members) {
    members["__module__"] = pystr(ns.module_name());
    members["__qualname__"] = pystr(name);
    members["__doc__"] = pystr(doc);
    object type = nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(pystr(name), nb::make_tuple(nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                members);
}

void init_bridge(handle module) {
    const std::string prefix = text(module.attr("__name__"));
    static std::string coroutine_name = prefix + ".NativeCoroutine";
    static std::string function_name = prefix + ".NativeFunction";
    static PyType_Spec coroutine_spec = {coroutine_name.c_str(), sizeof(CoroutineObject), 0,
                                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, coro_slots};
    static PyType_Spec function_spec = {
        function_name.c_str(), sizeof(FunctionObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
        function_slots};
    coroutine_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&coroutine_spec)).release().ptr());
    function_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&function_spec)).release().ptr());
    // Register with the abstract base class so that asyncio.iscoroutine() takes its fast path.
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(
        nb::handle(reinterpret_cast<PyObject*>(coroutine_type)));
    module.attr("NativeCoroutine") = nb::handle(reinterpret_cast<PyObject*>(coroutine_type));
    module.attr("NativeFunction") = nb::handle(reinterpret_cast<PyObject*>(function_type));
}

// ---------------------------------------------------------------------------------------------
// async for and async with

AsyncIter::AsyncIter(handle iterable) {
    PyTypeObject* type = Py_TYPE(iterable.ptr());
    if (type->tp_as_async && type->tp_as_async->am_aiter)
        iterator_ = steal(type->tp_as_async->am_aiter(iterable.ptr()));
    else
        iterator_ = iterable.attr("__aiter__")();
}

AsyncIter::Next AsyncIter::next() {
    PyTypeObject* type = Py_TYPE(iterator_.ptr());
    if (type->tp_as_async && type->tp_as_async->am_anext)
        return Next{steal(type->tp_as_async->am_anext(iterator_.ptr()))};
    return Next{iterator_.attr("__anext__")()};
}

AsyncWith::AsyncWith(handle manager) : manager_(nb::borrow(manager)) {
    handle type = manager.type();
    if (!nb::hasattr(type, "__aenter__") || !nb::hasattr(type, "__aexit__"))
        raise(PyExc_TypeError, std::string("'") + Py_TYPE(manager.ptr())->tp_name +
                                   "' object does not support the asynchronous context manager protocol");
    aexit_ = type.attr("__aexit__");
    aenter_ = type.attr("__aenter__");
}

object AsyncWith::enter() { return aenter_(manager_); }

object AsyncWith::exit(const std::exception_ptr& failure) {
    if (!failure) return aexit_(manager_, nb::none(), nb::none(), nb::none());
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& e) {
        return aexit_(manager_, e.type(), e.value(), e.traceback());
    } catch (...) {
        restore_cpp_exception(std::current_exception());
        nb::python_error converted;
        return aexit_(manager_, converted.type(), converted.value(), converted.traceback());
    }
}

namespace {

Coro async_with_body(object manager, std::function<Coro(object)> body) {
    AsyncWith context(manager);
    object value = co_await context.enter();
    std::exception_ptr failure;
    object result;
    try {
        result = co_await run(body(value));
    } catch (...) {
        failure = std::current_exception();
    }
    AsyncWith::finish(co_await context.exit(failure), failure);
    co_return result;
}

PyObject* native_code = nullptr;  // shared by the coroutines of internal helpers

}  // namespace

object run(Coro coroutine) {
    static PyObject* name = PyUnicode_InternFromString("<native>");
    if (!native_code) native_code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", "<native>", 1));
    if (!native_code) raise_current();
    return std::move(coroutine).into_python(name, name, native_code);
}

object async_with(handle manager, std::function<Coro(object)> body) {
    return run(async_with_body(nb::borrow(manager), std::move(body)));
}

void AsyncWith::finish(handle exit_result, const std::exception_ptr& failure) {
    if (!failure) return;
    int suppress = PyObject_IsTrue(exit_result.ptr());
    if (suppress < 0) raise_current();
    if (!suppress) std::rethrow_exception(failure);
}

}  // namespace vexa
