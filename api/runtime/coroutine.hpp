// coroutine.hpp: C++20 coroutines that run as Python coroutines, driven by asyncio.
//
// Contract. A function returning Coro is a coroutine body. Inside it:
// - `co_await x` on a Python awaitable (a coroutine, a Future, a Task, an object with
//   __await__) yields what x yields to whoever drives the coroutine (the event loop), so a
//   cancellation reaches x, and x's error comes back as nb::python_error;
// - `co_await other_body(...)` on another Coro runs it in place: the frames are chained by
//   symmetric transfer, with no Python object per await, and what the inner body awaits is
//   what the outer coroutine object reports as awaited (cr_await);
// - `co_return value;` gives the result.
// A coroutine function (function.hpp) makes the outermost body into a coroutine object
// (make_coroutine), which drives the chain of bodies. It behaves as CPython's coroutines do:
// send/throw/close with their semantics (close() throws GeneratorExit into the frame and
// drives the awaits of its clean-up to completion; an await that really suspends then ends in "coroutine ignored
// GeneratorExit"), cr_running, cr_suspended, cr_await, cr_frame, cr_code, the
// "coroutine ... was never awaited" RuntimeWarning, and a traceback entry naming the
// coroutine on an error that leaves it. The cycle collector sees the coroutine's arguments,
// what it awaits and what it is about to receive. A body keeps its Python references in its
// arguments (or in what it awaits); C++ locals held across a suspension are invisible to the
// cycle collector, so a reference cycle must not run through them.
// GCC 12 destroys a braced aggregate temporary twice when it is an argument inside a co_await
// expression: build such an argument as a named local first.
#pragma once

#include "python.hpp"

#include <coroutine>
#include <exception>
#include <utility>

namespace vexa {

class Args;  // function.hpp

/// A Python awaitable to await; `stop_async_iteration_ends` makes StopAsyncIteration resume
/// the body with an empty object (the end of an `async for`).
struct Awaited {
    object awaitable;
    bool stop_async_iteration_ends = false;
};

class Coro {
public:
    struct promise_type;
    using frame_handle = std::coroutine_handle<promise_type>;

    /// Awaiting a Python awaitable: the iterator its __await__ gave.
    struct PythonAwaiter {
        object iterator;
        promise_type* promise;
        bool stop_async_iteration_ends = false;
        bool await_ready() const noexcept { return false; }
        void await_suspend(frame_handle) noexcept;
        object await_resume();
    };

    /// Awaiting another body: run it in place, then take its result or error.
    struct NativeAwaiter {
        frame_handle child;
        NativeAwaiter(frame_handle c) : child(c) {}
        NativeAwaiter(NativeAwaiter&& other) noexcept : child(std::exchange(other.child, {})) {}
        ~NativeAwaiter() {
            if (child) child.destroy();
        }
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(frame_handle parent) noexcept;
        object await_resume();
    };

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(frame_handle frame) noexcept;
        void await_resume() const noexcept {}
    };

    struct promise_type {
        void* owner = nullptr;  // the coroutine object driving this frame (borrowed)
        frame_handle parent;    // the frame awaiting this one, if any
        object result;
        std::exception_ptr error;

        Coro get_return_object() { return Coro(frame_handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        FinalAwaiter final_suspend() noexcept { return {}; }
        void return_value(object value) { result = std::move(value); }
        void unhandled_exception() { error = std::current_exception(); }
        /// Obtains the iterator before suspending, so a non-awaitable raises inside the body.
        PythonAwaiter await_transform(object awaitable);
        PythonAwaiter await_transform(Awaited awaited);
        NativeAwaiter await_transform(Coro&& body);
    };

    Coro(Coro&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Coro(const Coro&) = delete;
    ~Coro() {
        if (frame_) frame_.destroy();
    }
    frame_handle release() && { return std::exchange(frame_, {}); }

private:
    explicit Coro(frame_handle frame) : frame_(frame) {}
    frame_handle frame_;
};

/// What a coroutine object shows of itself: __name__, __qualname__, cr_code, and the globals
/// of its frame.
struct CoroutineInfo {
    handle name;
    handle qualname;
    handle code;
    handle globals;
};

/// A coroutine object that owns `args` and runs `body(args)` (made after the arguments have
/// their place, so the body may keep handles to them).
object make_coroutine(const CoroutineInfo& info, Args args, Coro (*body)(Args&));

/// The coroutine type; call once from module initialisation (binds NativeCoroutine).
void init_coroutine_type(handle module);

}  // namespace vexa
