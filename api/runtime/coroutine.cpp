// coroutine.cpp: the coroutine object type that drives Coro frames (see coroutine.hpp).
#include "coroutine.hpp"

#include "function.hpp"

#include <frameobject.h>
#include <structmember.h>

namespace vexa {

namespace {

PyTypeObject* coroutine_type = nullptr;

struct CoroutineObject {
    PyObject_HEAD
    Coro::frame_handle frame;  // the outermost frame; empty once finished or closed
    Coro::frame_handle leaf;   // the innermost frame of the chain: the one to resume
    Args* args;                // the arguments the frame reads (owned), or null
    PyObject* awaiting;        // the iterator the leaf is suspended on
    PyObject* sent;            // what the pending await gives the body
    PyObject* thrown;          // or the exception it raises there
    PyObject* name;
    PyObject* qualname;
    PyObject* code;
    PyObject* globals;
    PyObject* weakreflist;
    bool started;
    bool running;
};

CoroutineObject* as_coroutine(void* op) { return static_cast<CoroutineObject*>(op); }

void destroy_frame(CoroutineObject* self) {
    if (!self->frame) return;
    Coro::frame_handle frame = std::exchange(self->frame, {});
    self->leaf = {};
    frame.destroy();  // destroys the chain of inner frames with it
}

/// A frame object for the coroutine's code: what cr_frame shows and tracebacks record.
PyObject* new_frame(CoroutineObject* self) {
    return reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(self->code),
                                                   self->globals, nullptr));
}

/// Record the coroutine in the traceback of the error that is leaving it.
void add_traceback(CoroutineObject* self) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* frame = new_frame(self);
    if (!frame) PyErr_Clear();  // a missing entry beats losing the error
    PyErr_Restore(type, value, traceback);
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
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
    raise(PyExc_TypeError, std::string("object ") + type->tp_name + " can't be used in 'await' expression");
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
    add_traceback(self);
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

/// close() the awaited iterator, as CPython closes what a closing coroutine delegates to:
/// 0 when it closed (or has no close()), -1 with its error set.
int close_iterator(PyObject* iterator) {
    PyObject* close = PyObject_GetAttrString(iterator, "close");
    if (!close) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(iterator);
        return 0;
    }
    PyObject* result = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

/// Record how the awaited iterator ended, for the body's pending await.
void settle(CoroutineObject* self, PySendResult status, PyObject* value) {
    Py_CLEAR(self->awaiting);
    if (status == PYGEN_RETURN)
        self->sent = value;
    else
        self->thrown = fetch_exception();
}

struct Running {
    CoroutineObject* self;
    explicit Running(CoroutineObject* s) : self(s) { self->running = true; }
    ~Running() { self->running = false; }
};

enum class Mode {
    send,      // deliver a value to the awaited iterator
    throw_in,  // throw into the awaited iterator
    at_frame,  // raise in the frame itself (the awaited iterator is already closed)
};

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
    Running running(self);
    if (!self->started) {
        if (mode != Mode::send) {
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
    } else if (!self->awaiting && mode == Mode::send) {
        Py_XSETREF(self->sent, Py_NewRef(value));
    } else if (mode == Mode::at_frame || !self->awaiting) {
        Py_XSETREF(self->thrown, Py_NewRef(value));
    } else {
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
        self->leaf.resume();
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

/// GeneratorExit (or what closing the awaited iterator raised) raised at the frame's await,
/// after the awaited iterator has been closed, as CPython's close() and throw(GeneratorExit) do.
PySendResult raise_exit_at_frame(CoroutineObject* self, PyObject* exit, PyObject** out) {
    PyObject* pending = nullptr;
    if (PyObject* iterator = std::exchange(self->awaiting, nullptr)) {
        int closed;
        {
            Running running(self);
            closed = close_iterator(iterator);
        }
        Py_DECREF(iterator);
        if (closed < 0) pending = fetch_exception();
    }
    if (!pending) pending = Py_NewRef(exit);
    PySendResult status = drive(self, Mode::at_frame, pending, out);
    Py_DECREF(pending);
    return status;
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
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != Py_None && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return nullptr;
    }
    CoroutineObject* self = as_coroutine(op);
    PyObject* result = nullptr;
    PySendResult status;
    if (self->started && self->awaiting && !self->running &&
        PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit))
        status = raise_exit_at_frame(self, exception, &result);
    else
        status = drive(self, Mode::throw_in, exception, &result);
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
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = raise_exit_at_frame(self, exit, &result);
    Py_DECREF(exit);
    if (status == PYGEN_NEXT) {
        // The clean-up awaited something that really suspended: left suspended there.
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coro_await(PyObject* op) { return Py_NewRef(op); }

void coro_finalize(PyObject* op) {
    CoroutineObject* self = as_coroutine(op);
    if (!self->frame) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!self->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(op);
    } else if (PyObject* result = coro_close(op, nullptr)) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(op);
    }
    PyErr_Restore(type, value, traceback);
}

int coro_traverse(PyObject* op, visitproc visit, void* arg) {
    CoroutineObject* self = as_coroutine(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->awaiting);
    Py_VISIT(self->sent);
    Py_VISIT(self->thrown);
    Py_VISIT(self->code);
    Py_VISIT(self->globals);
    if (self->args) return self->args->traverse(visit, arg);
    return 0;
}

int coro_clear(PyObject* op) {
    CoroutineObject* self = as_coroutine(op);
    destroy_frame(self);  // first: the frame's locals may refer to the arguments
    Py_CLEAR(self->awaiting);
    Py_CLEAR(self->sent);
    Py_CLEAR(self->thrown);
    if (self->args) self->args->clear();
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
    coro_clear(op);
    delete std::exchange(self->args, nullptr);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    Py_CLEAR(self->globals);
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
PyObject* get_suspended(PyObject* op, void*) {
    CoroutineObject* self = as_coroutine(op);
    return PyBool_FromLong(self->frame && self->started && !self->running);
}
PyObject* get_frame(PyObject* op, void*) {
    CoroutineObject* self = as_coroutine(op);
    if (!self->frame) Py_RETURN_NONE;
    return new_frame(self);
}
PyObject* get_code(PyObject* op, void*) { return Py_NewRef(as_coroutine(op)->code); }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into the coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value) -> raise an exception in the coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
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

/// A coroutine object without a frame yet; owned by the result (untracked until complete).
object new_coroutine(const CoroutineInfo& info) {
    if (!coroutine_type) raise(PyExc_SystemError, "the coroutine type is not initialised");
    auto* self = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!self) raise_current();
    new (&self->frame) Coro::frame_handle();
    new (&self->leaf) Coro::frame_handle();
    self->args = nullptr;
    self->awaiting = self->sent = self->thrown = self->weakreflist = nullptr;
    self->name = Py_NewRef(info.name.ptr());
    self->qualname = Py_NewRef(info.qualname.ptr());
    self->code = Py_NewRef(info.code.ptr());
    self->globals = Py_NewRef(info.globals.ptr());
    self->started = self->running = false;
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

void attach(CoroutineObject* self, Coro body) {
    self->frame = self->leaf = std::move(body).release();
    self->frame.promise().owner = self;
    PyObject_GC_Track(self);
}

}  // namespace

object make_coroutine(const CoroutineInfo& info, Args args, Coro (*body)(Args&)) {
    object coroutine = new_coroutine(info);
    CoroutineObject* self = as_coroutine(coroutine.ptr());
    self->args = new Args(std::move(args));
    attach(self, body(*self->args));
    return coroutine;
}

Coro::PythonAwaiter Coro::promise_type::await_transform(object awaitable) {
    return PythonAwaiter{await_iterator(awaitable), this};
}

Coro::PythonAwaiter Coro::promise_type::await_transform(Awaited awaited) {
    return PythonAwaiter{await_iterator(awaited.awaitable), this, awaited.stop_async_iteration_ends};
}

Coro::NativeAwaiter Coro::promise_type::await_transform(Coro&& body) { return NativeAwaiter(std::move(body).release()); }

void Coro::PythonAwaiter::await_suspend(frame_handle) noexcept {
    as_coroutine(promise->owner)->awaiting = iterator.release().ptr();
}

object Coro::PythonAwaiter::await_resume() {
    CoroutineObject* self = as_coroutine(promise->owner);
    if (PyObject* exception = std::exchange(self->thrown, nullptr)) {
        if (stop_async_iteration_ends && PyErr_GivenExceptionMatches(exception, PyExc_StopAsyncIteration)) {
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

std::coroutine_handle<> Coro::NativeAwaiter::await_suspend(frame_handle parent) noexcept {
    promise_type& inner = child.promise();
    inner.parent = parent;
    inner.owner = parent.promise().owner;
    as_coroutine(inner.owner)->leaf = child;
    return child;
}

object Coro::NativeAwaiter::await_resume() {
    promise_type& inner = child.promise();
    if (inner.error) std::rethrow_exception(std::exchange(inner.error, {}));
    return std::move(inner.result);
}

std::coroutine_handle<> Coro::FinalAwaiter::await_suspend(frame_handle frame) noexcept {
    promise_type& promise = frame.promise();
    if (!promise.parent) return std::noop_coroutine();
    as_coroutine(promise.owner)->leaf = promise.parent;
    return promise.parent;
}

void init_coroutine_type(handle module) {
    static std::string name = text(module.attr("__name__")) + ".NativeCoroutine";
    static PyType_Spec type_spec = {name.c_str(), sizeof(CoroutineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                               coro_slots};
    coroutine_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&type_spec)).release().ptr());
    // Registered with the abstract base class so that asyncio.iscoroutine() takes its fast path.
    nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(
        nb::handle(reinterpret_cast<PyObject*>(coroutine_type)));
    module.attr("NativeCoroutine") = nb::handle(reinterpret_cast<PyObject*>(coroutine_type));
}

}  // namespace vexa
