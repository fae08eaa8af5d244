// coroutine.cpp: the coroutine object type that drives Coro frames, and Held (see coroutine.hpp).
#include "coroutine.hpp"

#include "function.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <memory>
#include <type_traits>

namespace vexa {

namespace {

PyTypeObject* coroutine_type = nullptr;

/// The frame whose body runs now on this thread (Held locals made now join it), or null.
thread_local Coro::promise_type* running_frame = nullptr;

/// Makes `frame` the running frame for a resume, and restores the previous one after it (a body
/// may drive another coroutine object synchronously).
class Resuming {
public:
    explicit Resuming(Coro::promise_type* frame) : previous_(std::exchange(running_frame, frame)) {}
    ~Resuming() { running_frame = previous_; }
    Resuming(const Resuming&) = delete;
    Resuming& operator=(const Resuming&) = delete;

private:
    Coro::promise_type* previous_;
};

/// What a coroutine object owns besides its header; made and destroyed as one.
struct CoroutineState {
    Coro::frame_handle frame;      // the outermost frame; empty once finished or closed
    Coro::frame_handle leaf;       // the innermost frame of the chain: the one to resume
    std::unique_ptr<Args> args;    // the arguments the frame reads, or none
    CoroutineInfo info;            // name, code, globals, and the function `args` point into
    object awaiting;               // the iterator the leaf is suspended on
    object sent;                   // what the pending await gives the body
    object thrown;                 // or the exception it raises there
    bool started = false;
    bool running = false;
};

struct CoroutineObject {
    PyObject_HEAD
    CoroutineState state;
    PyObject* weakreflist;  // CPython's own: read and cleared by the weak reference machinery
};
static_assert(std::is_standard_layout_v<CoroutineObject>, "__weaklistoffset__ is an offsetof");

CoroutineState& state_of(PyObject* op) { return reinterpret_cast<CoroutineObject*>(op)->state; }

void destroy_frame(CoroutineState& self) {
    if (!self.frame) return;
    Coro::frame_handle frame = std::exchange(self.frame, {});
    self.leaf = {};
    frame.destroy();  // destroys the chain of inner frames with it
}

/// A frame object for the coroutine's code: what cr_frame shows and tracebacks record.
object new_frame(const CoroutineState& self) {
    return steal(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(),
                                                         reinterpret_cast<PyCodeObject*>(self.info.code.ptr()),
                                                         self.info.globals.ptr(), nullptr)));
}

/// Record the coroutine in the traceback of the error that is leaving it.
void add_traceback(const CoroutineState& self) {
    object frame;
    {
        nb::error_scope leaving;  // the error that leaves, kept aside while the frame is made
        try {
            frame = new_frame(self);
        } catch (nb::python_error&) {
            return;  // a missing entry beats losing the error
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
}

/// The iterator that `await awaitable` drives.
object await_iterator(object awaitable) {
    PyTypeObject* type = Py_TYPE(awaitable.ptr());
    if (PyCoro_CheckExact(awaitable.ptr()) || type == coroutine_type) return awaitable;
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
PySendResult finish(CoroutineState& self, PyObject** out) {
    auto& promise = self.frame.promise();
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
        object cause = fetch_exception();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        object replacement = fetch_exception();
        PyException_SetCause(replacement.ptr(), cause.inc_ref().ptr());
        PyException_SetContext(replacement.ptr(), cause.inc_ref().ptr());
        set_exception(replacement);
    }
    *out = nullptr;
    return PYGEN_ERROR;
}

/// Throw `exception` into the awaited iterator, as `yield from` does.
PySendResult throw_into(handle iterator, handle exception, PyObject** out) {
    PyObject* method = PyObject_GetAttrString(iterator.ptr(), "throw");
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PYGEN_ERROR;
        PyErr_Clear();
        set_exception(exception);
        return PYGEN_ERROR;
    }
    *out = PyObject_CallOneArg(method, exception.ptr());
    Py_DECREF(method);
    if (*out) return PYGEN_NEXT;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    object stop = fetch_exception();
    *out = PyObject_GetAttrString(stop.ptr(), "value");
    return *out ? PYGEN_RETURN : PYGEN_ERROR;
}

/// close() the awaited iterator, as CPython closes what a closing coroutine delegates to:
/// 0 when it closed (or has no close()), -1 with its error set.
int close_iterator(handle iterator) {
    PyObject* close = PyObject_GetAttrString(iterator.ptr(), "close");
    if (!close) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(iterator.ptr());
        return 0;
    }
    PyObject* result = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

/// Record how the awaited iterator ended, for the body's pending await.
void settle(CoroutineState& self, PySendResult status, PyObject* value) {
    self.awaiting.reset();
    if (status == PYGEN_RETURN)
        self.sent = nb::steal(value);
    else
        self.thrown = fetch_exception();
}

struct Running {
    CoroutineState& self;
    explicit Running(CoroutineState& s) : self(s) { self.running = true; }
    ~Running() { self.running = false; }
};

enum class Mode {
    send,      // deliver a value to the awaited iterator
    throw_in,  // throw into the awaited iterator
    at_frame,  // raise in the frame itself (the awaited iterator is already closed)
};

/// One step of the coroutine: deliver `value` (sent, or an exception thrown in) to what the
/// body awaits, then run the body until it awaits something that yields to the event loop.
PySendResult drive(CoroutineState& self, Mode mode, handle value, PyObject** out) {
    *out = nullptr;
    if (self.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (!self.frame) {
        if (mode == Mode::send)
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        else
            set_exception(value);
        return PYGEN_ERROR;
    }
    Running running(self);
    if (!self.started) {
        if (mode != Mode::send) {
            self.started = true;
            destroy_frame(self);
            set_exception(value);
            return PYGEN_ERROR;
        }
        if (!value.is_none()) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self.started = true;
    } else if (!self.awaiting.is_valid() && mode == Mode::send) {
        self.sent = nb::borrow(value);
    } else if (mode == Mode::at_frame || !self.awaiting.is_valid()) {
        self.thrown = nb::borrow(value);
    } else {
        PyObject* result = nullptr;
        PySendResult status = mode == Mode::send ? PyIter_Send(self.awaiting.ptr(), value.ptr(), &result)
                                                 : throw_into(self.awaiting, value, &result);
        if (status == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        settle(self, status, result);
    }
    for (;;) {
        {
            Resuming resuming(&self.leaf.promise());
            self.leaf.resume();
        }
        if (self.frame.done()) return finish(self, out);
        PyObject* result = nullptr;
        PySendResult status = PyIter_Send(self.awaiting.ptr(), Py_None, &result);
        if (status == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        settle(self, status, result);
    }
}

/// GeneratorExit (or what closing the awaited iterator raised) raised at the frame's await,
/// after the awaited iterator has been closed, as CPython's close() and throw(GeneratorExit) do.
PySendResult raise_exit_at_frame(CoroutineState& self, handle exit, PyObject** out) {
    object pending;
    if (object iterator = std::move(self.awaiting)) {
        int closed;
        {
            Running running(self);
            closed = close_iterator(iterator);
        }
        if (closed < 0) pending = fetch_exception();
    }
    if (!pending.is_valid()) pending = nb::borrow(exit);
    return drive(self, Mode::at_frame, pending, out);
}

/// Raise StopIteration(value) the way a returning generator does.
PyObject* stop_iteration(PyObject* value) {
    object returned = nb::steal(value);
    if (returned.is_none()) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, returned.ptr())) {
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
    return drive(state_of(op), Mode::send, arg, out);
}

PyObject* coro_iternext(PyObject* op) {
    PyObject* result = nullptr;
    PySendResult status = drive(state_of(op), Mode::send, Py_None, &result);
    return step_result(status, result);
}

PyObject* coro_send(PyObject* op, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult status = drive(state_of(op), Mode::send, arg, &result);
    return step_result(status, result);
}

/// The exception that throw(type[, value[, traceback]]) raises, as CPython builds it.
object thrown_exception(PyObject* type, PyObject* value, PyObject* traceback) {
    object exception;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exception = nb::borrow(type);
    } else if (PyExceptionClass_Check(type)) {
        if (PyObject_IsInstance(value, type) == 1)
            exception = nb::borrow(value);
        else if (value == Py_None)
            exception = steal(PyObject_CallNoArgs(type));
        else
            exception = steal(PyObject_CallOneArg(type, value));
    } else {
        raise(PyExc_TypeError, std::string("exceptions must be classes or instances deriving from BaseException, not ") +
                                   Py_TYPE(type)->tp_name);
    }
    if (traceback != Py_None && PyException_SetTraceback(exception.ptr(), traceback) < 0) raise_current();
    return exception;
}

PyObject* coro_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
        return nullptr;
    }
    object exception;
    try {
        exception = thrown_exception(args[0], nargs > 1 ? args[1] : Py_None, nargs > 2 ? args[2] : Py_None);
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
    CoroutineState& self = state_of(op);
    PyObject* result = nullptr;
    PySendResult status;
    if (self.started && self.awaiting.is_valid() && !self.running &&
        PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit))
        status = raise_exit_at_frame(self, exception, &result);
    else
        status = drive(self, Mode::throw_in, exception, &result);
    return step_result(status, result);
}

PyObject* coro_close(PyObject* op, PyObject*) {
    CoroutineState& self = state_of(op);
    if (!self.frame) Py_RETURN_NONE;
    if (self.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (!self.started) {
        self.started = true;
        destroy_frame(self);
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = raise_exit_at_frame(self, nb::steal(exit), &result);
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
    CoroutineState& self = state_of(op);
    if (!self.frame) return;
    nb::error_scope pending;  // finalising must not disturb an error being raised meanwhile
    if (!self.started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self.info.qualname.ptr()) < 0)
            PyErr_WriteUnraisable(op);
    } else if (PyObject* result = coro_close(op, nullptr)) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(op);
    }
}

int coro_traverse(PyObject* op, visitproc visit, void* arg) {
    const CoroutineState& self = state_of(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self.awaiting.ptr());
    Py_VISIT(self.sent.ptr());
    Py_VISIT(self.thrown.ptr());
    Py_VISIT(self.info.owner.ptr());
    Py_VISIT(self.info.code.ptr());
    Py_VISIT(self.info.globals.ptr());
    if (self.frame)
        for (Coro::frame_handle f = self.leaf; f; f = f.promise().parent)
            if (int failed = Held::traverse(f.promise(), visit, arg)) return failed;
    if (self.args)
        if (int failed = self.args->traverse(visit, arg)) return failed;
    return 0;
}

int coro_clear(PyObject* op) {
    CoroutineState& self = state_of(op);
    if (self.frame)
        for (Coro::frame_handle f = self.leaf; f; f = f.promise().parent) Held::clear(f.promise());
    destroy_frame(self);  // before the arguments: the frame's locals may refer to them
    self.awaiting.reset();
    self.sent.reset();
    self.thrown.reset();
    if (self.args) self.args->clear();
    return 0;
}

void coro_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<CoroutineObject*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist) PyObject_ClearWeakRefs(op);
    PyObject_GC_Track(op);
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
    PyObject_GC_UnTrack(op);
    coro_clear(op);
    self->state.~CoroutineState();
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* coro_repr(PyObject* op) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", state_of(op).info.qualname.ptr(), op);
}

PyObject* get_name(PyObject* op, void*) { return state_of(op).info.name.inc_ref().ptr(); }
PyObject* get_qualname(PyObject* op, void*) { return state_of(op).info.qualname.inc_ref().ptr(); }
PyObject* get_await(PyObject* op, void*) {
    const object& awaiting = state_of(op).awaiting;
    return Py_NewRef(awaiting.is_valid() ? awaiting.ptr() : Py_None);
}
PyObject* get_running(PyObject* op, void*) { return PyBool_FromLong(state_of(op).running); }
PyObject* get_suspended(PyObject* op, void*) {
    const CoroutineState& self = state_of(op);
    return PyBool_FromLong(self.frame && self.started && !self.running);
}
PyObject* get_frame(PyObject* op, void*) {
    const CoroutineState& self = state_of(op);
    if (!self.frame) Py_RETURN_NONE;
    try {
        return new_frame(self).release().ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
}
PyObject* get_code(PyObject* op, void*) { return state_of(op).info.code.inc_ref().ptr(); }

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

/// A coroutine object running `body` (which reads `args`, if any); tracked once complete.
object new_coroutine(CoroutineInfo info, std::unique_ptr<Args> args, Coro (*make_body)(Args&), Coro* body) {
    if (!coroutine_type) raise(PyExc_SystemError, "the coroutine type is not initialised");
    auto* self = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!self) raise_current();
    self->weakreflist = nullptr;
    new (&self->state) CoroutineState{.args = std::move(args), .info = std::move(info)};
    object coroutine = nb::steal(reinterpret_cast<PyObject*>(self));
    CoroutineState& state = self->state;
    Coro frame = make_body ? make_body(*state.args) : std::move(*body);
    state.frame = state.leaf = std::move(frame).release();
    state.frame.promise().owner = self;
    PyObject_GC_Track(self);
    return coroutine;
}

}  // namespace

object make_coroutine(CoroutineInfo info, Args args, Coro (*body)(Args&)) {
    return new_coroutine(std::move(info), std::make_unique<Args>(std::move(args)), body, nullptr);
}

object spawn(const CoroutineInfo& info, Coro body) {
    object coroutine = new_coroutine(info, nullptr, nullptr, &body);
    return nb::module_::import_("asyncio").attr("ensure_future")(coroutine);
}

Coro::PythonAwaiter Coro::promise_type::await_transform(object&& awaitable) {
    return PythonAwaiter{await_iterator(std::move(awaitable)), this};
}

Coro::PythonAwaiter Coro::promise_type::await_transform(const object& awaitable) {
    return PythonAwaiter{await_iterator(awaitable), this};
}

Coro::PythonAwaiter Coro::promise_type::await_transform(Awaited awaited) {
    return PythonAwaiter{await_iterator(std::move(awaited.awaitable)), this, awaited.stop_async_iteration_ends};
}

Coro::NativeAwaiter Coro::promise_type::await_transform(Coro&& body) { return NativeAwaiter(std::move(body).release()); }

void Coro::PythonAwaiter::await_suspend(frame_handle) noexcept {
    reinterpret_cast<CoroutineObject*>(promise->owner)->state.awaiting = std::move(iterator);
}

object Coro::PythonAwaiter::await_resume() {
    CoroutineState& self = reinterpret_cast<CoroutineObject*>(promise->owner)->state;
    if (object exception = std::move(self.thrown)) {
        if (stop_async_iteration_ends && PyErr_GivenExceptionMatches(exception.ptr(), PyExc_StopAsyncIteration))
            return object();
        set_exception(exception);
        throw nb::python_error();
    }
    object value = std::move(self.sent);
    return value.is_valid() ? value : nb::none();
}

std::coroutine_handle<> Coro::NativeAwaiter::await_suspend(frame_handle parent) noexcept {
    promise_type& inner = child.promise();
    inner.parent = parent;
    inner.owner = parent.promise().owner;
    reinterpret_cast<CoroutineObject*>(inner.owner)->state.leaf = child;
    running_frame = &inner;
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
    reinterpret_cast<CoroutineObject*>(promise.owner)->state.leaf = promise.parent;
    running_frame = &promise.parent.promise();
    return promise.parent;
}

// ---------------------------------------------------------------------------------------------
// Held

void Held::join() {
    frame_ = running_frame;
    if (!frame_) return;
    next_ = frame_->held;
    if (next_) next_->previous_ = this;
    frame_->held = this;
}

Held::~Held() {
    reset();
    if (!frame_) return;
    if (previous_)
        previous_->next_ = next_;
    else
        frame_->held = next_;
    if (next_) next_->previous_ = previous_;
}

int Held::traverse(const Coro::promise_type& frame, visitproc visit, void* arg) {
    for (const Held* h = frame.held; h; h = h->next_) Py_VISIT(h->ptr());
    return 0;
}

void Held::clear(Coro::promise_type& frame) {
    for (Held* h = frame.held; h; h = h->next_) h->reset();
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
