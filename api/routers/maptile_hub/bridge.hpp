// bridge.hpp: the bridge between C++ and CPython: owned references, Python errors as C++
// exceptions, function objects with real signatures, and C++20 coroutines driven by asyncio.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <coroutine>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// ---------------------------------------------------------------------------------------------
// Errors and text

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

/// str(obj) as UTF-8 text. Throws on an object whose __str__ fails.
std::string text(handle obj);

/// A Python str from UTF-8 text.
nb::str pystr(std::string_view s);

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
    const std::string& module_name() const { return module_name_; }

private:
    PyObject* module_ = nullptr;  // strong, deliberately never released: modules are immortal
    PyObject* dict_ = nullptr;
    std::string module_name_;
};

// ---------------------------------------------------------------------------------------------
// C++20 coroutines as Python coroutines

/// `async for` over any asynchronous iterable:
///     AsyncIter it(iterable);
///     while (object item = co_await it.next()) { ... }   // an empty object ends the loop
class AsyncIter {
public:
    struct Next {
        object awaitable;  // what __anext__ returned
    };
    explicit AsyncIter(handle iterable);
    Next next();

private:
    object iterator_;
};


/// Return type of a C++ coroutine that runs as a Python coroutine. Inside it `co_await x`
/// awaits any Python awaitable (a coroutine, a Future, a Task, an object with __await__) and
/// yields what it yields to the event loop, so cancellation reaches the awaited object and
/// errors come back as nb::python_error. `co_return value;` gives the coroutine's result.
/// The frame starts suspended; it only runs when the Python coroutine object is driven.
class Coro {
public:
    struct promise_type;
    using frame_handle = std::coroutine_handle<promise_type>;

    struct Awaiter {
        object iterator;  // what __await__ of the awaited object returned
        promise_type* promise;
        bool stop_async_iteration_ends = false;  // StopAsyncIteration resumes with an empty object
        bool await_ready() const noexcept { return false; }
        void await_suspend(frame_handle) noexcept;
        object await_resume();
    };

    struct promise_type {
        PyObject* owner = nullptr;  // the Python coroutine object driving this frame (borrowed)
        object result;
        std::exception_ptr error;

        Coro get_return_object() { return Coro(frame_handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(object value) { result = std::move(value); }
        void unhandled_exception() { error = std::current_exception(); }
        /// Obtains the iterator before suspending, so a non-awaitable raises inside the body.
        Awaiter await_transform(object awaitable);
        Awaiter await_transform(AsyncIter::Next next);
    };

    Coro(Coro&& other) noexcept : frame_(other.frame_) { other.frame_ = {}; }
    Coro(const Coro&) = delete;
    ~Coro() {
        if (frame_) frame_.destroy();
    }
    /// Hand the frame to a new Python coroutine object named `name`, `qualname`.
    object into_python(handle name, handle qualname, handle code) &&;

private:
    explicit Coro(frame_handle frame) : frame_(frame) {}
    frame_handle frame_;
};

// ---------------------------------------------------------------------------------------------
// Function objects

/// The bound arguments of one call, one per declared parameter, in declaration order.
using Args = std::vector<object>;

/// One declared parameter. A null `default_value` means the parameter is required; a null
/// `annotation` means it has none.
struct Param {
    std::string name;
    object annotation = {};
    object default_value = {};
};

/// Everything a function object is made from. Exactly one of `sync_body` and `async_body`
/// is set: the first makes a plain function, the second a coroutine function.
struct FunctionSpec {
    std::string name;
    std::string qualname;  // defaults to `name`
    std::string doc;
    std::vector<Param> params;
    object return_annotation = {};
    std::function<object(Args&)> sync_body;
    Coro (*async_body)(Args) = nullptr;
};

/// Create a function object in the module `ns`: callable with positional and keyword
/// arguments bound as Python binds them (TypeError with Python's wording otherwise), a
/// descriptor (so it becomes a method inside a class), with __name__, __qualname__,
/// __module__, __doc__, __defaults__, __annotations__, a __dict__ and a real __signature__.
/// A coroutine function returns a coroutine object and is recognised by both
/// inspect.iscoroutinefunction and asyncio.iscoroutinefunction.
object make_function(const Namespace& ns, FunctionSpec spec);

/// Create a plain Python class `name` (base `object`) in the module `ns` whose namespace is
/// `members` (function objects become its methods).
object make_class(const Namespace& ns, const char* name, const char* doc, nb::dict members);

/// Await a C++ coroutine from inside another: `co_await run(helper(args))`.
object run(Coro coroutine);

/// `async with manager as value: body(value)`, awaitable: __aenter__, then the body, then
/// __aexit__ with the body's error (which propagates unless __aexit__ suppresses it). Gives
/// the body's result. The body may capture by reference: it runs within the await.
///     object row = co_await async_with(ns["db_transaction"](db), [&](object session) -> Coro {
///         co_return (co_await session.attr("execute")(statement)).attr("first")();
///     });
object async_with(handle manager, std::function<Coro(object)> body);

/// Register the bridge's types; call once from module initialisation.
void init_bridge(handle module);

// ---------------------------------------------------------------------------------------------
// async with

/// `async with`: enter() gives the awaitable of __aenter__; exit() gives the awaitable of
/// __aexit__ for the error that ended the body (none for a normal end). After awaiting exit's
/// result, call finish(): it rethrows the body's error unless __aexit__ suppressed it.
///     AsyncWith tx(cm);
///     object value = co_await tx.enter();
///     std::exception_ptr failure;
///     try { ... } catch (...) { failure = std::current_exception(); }
///     tx.finish(co_await tx.exit(failure), failure);
class AsyncWith {
public:
    explicit AsyncWith(handle manager);
    object enter();
    object exit(const std::exception_ptr& failure);
    static void finish(handle exit_result, const std::exception_ptr& failure);

private:
    object manager_;
    object aenter_;
    object aexit_;
};

}  // namespace vexa
