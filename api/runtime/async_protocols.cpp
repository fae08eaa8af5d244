// async_protocols.cpp: async for and async with (see async_protocols.hpp).
#include "async_protocols.hpp"

namespace vexa {

AsyncIter::AsyncIter(handle iterable) {
    PyTypeObject* type = Py_TYPE(iterable.ptr());
    if (type->tp_as_async && type->tp_as_async->am_aiter)
        iterator_ = steal(type->tp_as_async->am_aiter(iterable.ptr()));
    else
        iterator_ = iterable.attr("__aiter__")();
}

Awaited AsyncIter::next() {
    PyTypeObject* type = Py_TYPE(iterator_.ptr());
    if (type->tp_as_async && type->tp_as_async->am_anext)
        return Awaited{steal(type->tp_as_async->am_anext(iterator_.ptr())), true};
    return Awaited{iterator_.attr("__anext__")(), true};
}

AsyncWith::AsyncWith(object manager) : manager_(std::move(manager)) {
    handle type = manager_.type();
    if (!nb::hasattr(type, "__aenter__") || !nb::hasattr(type, "__aexit__"))
        raise(PyExc_TypeError, std::string("'") + Py_TYPE(manager_.ptr())->tp_name +
                                   "' object does not support the asynchronous context manager protocol");
    aexit_ = type.attr("__aexit__");
    aenter_ = type.attr("__aenter__");
}

object AsyncWith::enter() { return aenter_(manager_); }

namespace {

object or_none(handle value) { return value.is_valid() ? nb::borrow(value) : nb::none(); }

}  // namespace

object AsyncWith::exit(const std::exception_ptr& failure) {
    if (!failure) return aexit_(manager_, nb::none(), nb::none(), nb::none());
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& e) {
        return aexit_(manager_, or_none(e.type()), or_none(e.value()), or_none(e.traceback()));
    } catch (...) {
        restore_cpp_exception(std::current_exception());
        nb::python_error converted;
        return aexit_(manager_, or_none(converted.type()), or_none(converted.value()),
                      or_none(converted.traceback()));
    }
}

void AsyncWith::finish(handle exit_result, const std::exception_ptr& failure) {
    if (!failure) return;
    if (!truthy(exit_result)) std::rethrow_exception(failure);
}

Coro async_with(object manager, std::function<Coro(handle)> body) {
    AsyncWith context(std::move(manager));
    Held value = co_await context.enter();
    std::exception_ptr failure;
    Held result;
    try {
        result = co_await body(value);
    } catch (...) {
        failure = std::current_exception();
    }
    AsyncWith::finish(co_await context.exit(failure), failure);
    co_return result;
}

}  // namespace vexa
