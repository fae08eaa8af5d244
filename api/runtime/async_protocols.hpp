// async_protocols.hpp: `async for` and `async with` inside a coroutine body.
//
// Contract: both follow Python's protocols to the letter: the special methods are looked up
// on the type; __aexit__ receives (type, value, traceback) of the error that ended the body,
// each None when there is none (a GeneratorExit or a CancelledError included, whose traceback
// may be missing), and the body's error propagates unless __aexit__'s result is true.
#pragma once

#include "coroutine.hpp"

#include <exception>
#include <functional>

namespace vexa {

/// `async for` over any asynchronous iterable:
///     AsyncIter it(iterable);
///     while (object item = co_await it.next()) { ... }   // an empty object ends the loop
/// Made inside a body, it is one of the body's Held locals.
class AsyncIter {
public:
    explicit AsyncIter(handle iterable);
    Awaited next();

private:
    Held iterator_;
};

/// `async with`, step by step: enter() gives the awaitable of __aenter__; exit() gives the
/// awaitable of __aexit__ for the error that ended the body (none for a normal end). After
/// awaiting exit's result, call finish(): it rethrows the body's error unless __aexit__
/// suppressed it.
///     AsyncWith tx(cm);
///     object value = co_await tx.enter();
///     std::exception_ptr failure;
///     try { ... } catch (...) { failure = std::current_exception(); }
///     tx.finish(co_await tx.exit(failure), failure);
/// Made inside a body, its references are the body's Held locals.
class AsyncWith {
public:
    explicit AsyncWith(object manager);
    object enter();
    object exit(const std::exception_ptr& failure);
    static void finish(handle exit_result, const std::exception_ptr& failure);

private:
    Held manager_;
    Held aenter_;
    Held aexit_;
};

/// `async with manager as value: body(value)`, as one await: __aenter__, then the body, then
/// __aexit__ with the body's error. Gives the body's result. The body may capture by
/// reference: it runs within the await; the value it is given is held for it.
///     object row = co_await async_with(ns["db_transaction"](db), [&](handle session) -> Coro {
///         object query = session.attr("execute")(statement);
///         co_return (co_await std::move(query)).attr("first")();
///     });
Coro async_with(object manager, std::function<Coro(handle)> body);

}  // namespace vexa
