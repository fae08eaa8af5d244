// transaction.cpp: db_transaction, the asynchronous context manager that ends every database
// use: commit (or rollback on an ordinary error), then close, whatever happened.
#include "transaction.hpp"

#include "startup.hpp"

namespace vexa::maptile {

namespace {

/// What the transaction wrapper keeps: the class whose instances db_transaction() gives.
struct TransactionState {
    object transaction_class;
};

TransactionState& state() { return kept<TransactionState>(); }

}  // namespace

namespace bound {
object db_transaction() { return ns()["db_transaction"]; }
}  // namespace bound

// In the awaiting task itself, under asyncio.timeout: wait_for (before Python 3.12) would run
// the awaitable as a task of its own, and loses a cancellation of the caller that comes as the
// awaitable ends (the caller then goes on as if never cancelled).
namespace {
Coro limited(object awaitable_given, object timeout) {
    Held awaitable = std::move(awaitable_given);
    co_return co_await async_with(bound::asyncio().attr("timeout")(timeout), [&](handle) -> Coro {
        co_return co_await object(awaitable);
    });
}
}  // namespace

Coro within(object awaitable, handle timeout) { return limited(std::move(awaitable), nb::borrow(timeout)); }
Coro within(object awaitable, double timeout) { return limited(std::move(awaitable), nb::float_(timeout)); }

Coro within(Coro body, double timeout) {
    co_return co_await async_with(bound::asyncio().attr("timeout")(timeout),
                                  [&](handle) -> Coro { co_return co_await std::move(body); });
}

namespace {

object transaction_init(Args& a) {
    a["self"].attr("db") = a["db"];
    return nb::none();
}

Coro transaction_enter(Args& a) { co_return a["self"].attr("db"); }

Coro transaction_exit(Args& a) {
    Held db = a["self"].attr("db");
    handle error = a["exc"];
    bool roll_back = !error.is_none() && PyObject_IsInstance(error.ptr(), PyExc_Exception) == 1;
    std::exception_ptr replacement;  // an error of commit or rollback, raised instead
    if (error.is_none()) {
        try {
            object committing = db.attr("commit")();
            co_await std::move(committing);
        } catch (nb::python_error& e) {
            roll_back = is_exception(e);
            replacement = std::current_exception();
        }
    }
    if (roll_back) {
        try {
            object rolling_back = db.attr("rollback")();
            co_await std::move(rolling_back);
        } catch (...) {
            replacement = std::current_exception();
        }
    }
    object closing = db.attr("close")();
    co_await std::move(closing);
    if (replacement) std::rethrow_exception(replacement);
    co_return nb::bool_(false);  // the body's own error goes on unchanged
}

object db_transaction(Args& a) { return state().transaction_class(a["db"]); }

}  // namespace

Coro timed_query(object db_given, object statement_given, object params_given, double timeout, const char* fetch) {
    Held db = std::move(db_given), statement = std::move(statement_given), params = std::move(params_given);
    co_return co_await async_with(bound::db_transaction()(db), [&](handle) -> Coro {
        object execution = params.is_valid() ? db.attr("execute")(statement, params) : db.attr("execute")(statement);
        Coro waiting = within(std::move(execution), timeout);
        object result = co_await std::move(waiting);
        co_return result.attr(fetch)();
    });
}

void define_transaction() {
    const char* cls = "DatabaseTransaction";
    object session_type = ns()["AsyncSession"];
    auto method = [&](FunctionSpec description) { return make_method(ns(), cls, std::move(description)); };
    nb::dict members;
    members["__init__"] = method({.name = "__init__", .params = {{"self"}, {"db", session_type}},
                                  .sync_body = transaction_init});
    members["__aenter__"] = method({.name = "__aenter__", .params = {{"self"}}, .async_body = transaction_enter});
    members["__aexit__"] = method({.name = "__aexit__",
                                   .params = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}},
                                   .async_body = transaction_exit});
    state().transaction_class = make_class(ns(), cls, "One database use: commit or rollback, then close.", members);
    ns().set(cls, state().transaction_class);
    define({.name = "db_transaction",
            .doc = "Context manager for database transactions with proper cleanup.",
            .params = {{"db", session_type}},
            .sync_body = db_transaction});
}

}  // namespace vexa::maptile
