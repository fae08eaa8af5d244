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
// A coroutine function (function.hpp) or spawn() makes the outermost body into a coroutine
// object, which drives the chain of bodies. It behaves as CPython's coroutines do:
// send/throw/close with their semantics (close() throws GeneratorExit into the frame and drives
// the awaits of its clean-up to completion; an await that really suspends then ends in
// "coroutine ignored GeneratorExit"), cr_running, cr_suspended, cr_await, cr_frame, cr_code,
// the "coroutine ... was never awaited" RuntimeWarning, and a traceback entry naming the
// coroutine on an error that leaves it.
//
// The cycle collector sees what a coroutine references: its arguments, what it awaits, what it
// is about to receive, and every `Held` local of its chain of bodies. A body therefore keeps a
// Python object it needs after a suspension in its arguments or in a Held, never in a plain
// `object` local or parameter (those references are invisible to the collector, and a cycle
// through one is never collected). An awaited object itself is taken over by the await; the
// other temporaries of a `co_await` expression live until it resumes, so an object built only
// to be passed to the awaitable (a query's coroutine handed to wait_for) is given by rvalue to
// a plain function that moves it on (as within() does), not left in a temporary.
//
// GCC 12 destroys a braced aggregate temporary twice when it is an argument inside a co_await
// expression: build such an argument as a named local first.
#pragma once

#include "python.hpp"

#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>

namespace vexa {

class Args;  // function.hpp
class Held;

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
        Held* held = nullptr;   // the frame's Held locals, most recent first
        object result;
        std::exception_ptr error;

        Coro get_return_object() { return Coro(frame_handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        FinalAwaiter final_suspend() noexcept { return {}; }
        void return_value(object value) { result = std::move(value); }
        void unhandled_exception() { error = std::current_exception(); }
        /// Takes the awaitable over (no temporary keeps it) and obtains its iterator before
        /// suspending, so a non-awaitable raises inside the body.
        PythonAwaiter await_transform(object&& awaitable);
        PythonAwaiter await_transform(const object& awaitable);
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

/// A Python object that a coroutine body holds across a suspension, seen by the cycle
/// collector: made while a body runs, it joins that body's frame, whose coroutine object visits
/// it in traverse and drops it in clear. Made elsewhere it is a plain owned reference. It owns
/// its reference as an `object` does and reads as a handle; it never moves (its frame keeps its
/// address): assign to it instead.
class Held : public handle {
public:
    Held() { join(); }
    /// Hold `value`: anything that converts to an object (an object, an attribute, an item).
    template <class T, std::enable_if_t<std::is_convertible_v<T, object> && !std::is_same_v<std::decay_t<T>, Held>, int> = 0>
    Held(T&& value) : handle(object(std::forward<T>(value)).release()) {
        join();
    }
    template <class T, std::enable_if_t<std::is_convertible_v<T, object> && !std::is_same_v<std::decay_t<T>, Held>, int> = 0>
    Held& operator=(T&& value) {
        object replaced = nb::steal(std::exchange(m_ptr, object(std::forward<T>(value)).release().ptr()));
        return *this;
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held();

    /// A new reference to the held object.
    operator object() const { return nb::borrow(*this); }
    /// Drop the held object (it is empty afterwards).
    void reset() { object dropped = nb::steal(std::exchange(m_ptr, nullptr)); }

    /// The collector's walk over one frame's Held locals.
    static int traverse(const Coro::promise_type& frame, visitproc visit, void* arg);
    static void clear(Coro::promise_type& frame);

private:
    void join();
    Coro::promise_type* frame_ = nullptr;
    Held* next_ = nullptr;
    Held* previous_ = nullptr;
};

/// What a coroutine object shows of itself: __name__, __qualname__, cr_code, the globals of its
/// frame, and what it keeps alive while it lives (the function whose description its arguments
/// point into; may be empty).
struct CoroutineInfo {
    object name;
    object qualname;
    object code;
    object globals;
    object owner;
};

/// A coroutine object that owns `args` and `info.owner` and runs `body(args)` (made after the
/// arguments have their place, so the body may keep handles to them).
object make_coroutine(CoroutineInfo info, Args args, Coro (*body)(Args&));

/// How the coroutine objects of a native body named `name` of the module `ns` show themselves
/// (made once, kept by the caller: it holds a code object).
CoroutineInfo native_body_info(const Namespace& ns, const char* name);

/// `body` as an asyncio Task on the running loop (asyncio.ensure_future of its coroutine
/// object, shown as `info` says). The body owns what it reads: it may outlive its caller.
object spawn(const CoroutineInfo& info, Coro body);

/// The coroutine type; call once from module initialisation (binds NativeCoroutine).
void init_coroutine_type(handle module);

}  // namespace vexa
