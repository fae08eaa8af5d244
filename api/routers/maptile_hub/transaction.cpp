// transaction.cpp: db_transaction, the asynchronous context manager that ends every database
// use: commit (or rollback on an ordinary error), then close, whatever happened.
#include "module.hpp"

namespace vexa::maptile {

namespace {

PyObject* transaction_class = nullptr;  // the context manager's class, lives for the process

object transaction_init(Args& a) {
    a["self"].attr("db") = a["db"];
    return nb::none();
}

Coro transaction_enter(Args& a) { co_return a["self"].attr("db"); }

Coro transaction_exit(Args& a) {
    object db = a["self"].attr("db");
    handle error = a["exc"];
    bool roll_back = !error.is_none() && PyObject_IsInstance(error.ptr(), PyExc_Exception) == 1;
    std::exception_ptr replacement;  // an error of commit or rollback, raised instead
    if (error.is_none()) {
        try {
            co_await db.attr("commit")();
        } catch (nb::python_error& e) {
            roll_back = is_exception(e);
            replacement = std::current_exception();
        }
    }
    if (roll_back) {
        try {
            co_await db.attr("rollback")();
        } catch (...) {
            replacement = std::current_exception();
        }
    }
    co_await db.attr("close")();
    if (replacement) std::rethrow_exception(replacement);
    co_return nb::bool_(false);  // the body's own error goes on unchanged
}

object db_transaction(Args& a) { return nb::handle(transaction_class)(a["db"]); }

}  // namespace

Coro timed_query(object db, object statement, object params, double timeout, const char* fetch) {
    co_return co_await async_with(ns["db_transaction"](db), [&](object) -> Coro {
        object execution = params.is_valid() ? db.attr("execute")(statement, params) : db.attr("execute")(statement);
        object result = co_await ns["asyncio"].attr("wait_for")(execution, nb::arg("timeout") = timeout);
        co_return result.attr(fetch)();
    });
}

void define_transaction() {
    const char* cls = "DatabaseTransaction";
    object session_type = ns["AsyncSession"];
    auto method = [&](FunctionSpec description) { return make_method(ns, cls, std::move(description)); };
    nb::dict members;
    members["__init__"] = method({.name = "__init__", .params = {{"self"}, {"db", session_type}},
                                  .sync_body = transaction_init});
    members["__aenter__"] = method({.name = "__aenter__", .params = {{"self"}}, .async_body = transaction_enter});
    members["__aexit__"] = method({.name = "__aexit__",
                                   .params = {{"self"}, {"exc_type"}, {"exc"}, {"traceback"}},
                                   .async_body = transaction_exit});
    transaction_class =
        make_class(ns, cls, "One database use: commit or rollback, then close.", members).release().ptr();
    ns.set(cls, transaction_class);
    define({.name = "db_transaction",
            .doc = "Context manager for database transactions with proper cleanup.",
            .params = {{"db", session_type}},
            .sync_body = db_transaction});
}

}  // namespace vexa::maptile
