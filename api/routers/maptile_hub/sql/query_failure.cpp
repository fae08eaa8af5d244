// query_failure.cpp: how an endpoint answers the failure of its database query.
#include "query_failure.hpp"

#include "endpoints/responses.hpp"

namespace vexa::maptile {

Coro answered(Coro query, QueryFailure failure) {
    try {
        co_return co_await std::move(query);
    } catch (nb::python_error& e) {
        if (!failure.timeout_log.empty() && e.matches(bound::asyncio().attr("TimeoutError"))) {
            log("error", failure.timeout_log);
            raise_http(408, failure.timeout_detail, e.value());
        }
        if (!failure.database_log.empty() && e.matches(bound::SQLAlchemyError())) {
            log("error", failure.database_log + text(e.value()));
            raise_http(500, failure.database_detail, e.value());
        }
        if (!is_exception(e)) throw;
        log("error", failure.error_log + text(e.value()));
        if (failure.unavailable_retry_s > 0 && database_unavailable(e))
            raise_retry_later(503, "Database unavailable", failure.unavailable_retry_s, e.value());
        raise_http(failure.error_status, failure.error_detail, e.value());
    }
}

namespace {

/// The SQLSTATE of an error, of the driver's error it wraps, or of what caused that; empty if none.
std::string sqlstate_of(handle error) {
    for (object current = nb::borrow(error); current.is_valid() && !current.is_none();) {
        for (const char* name : {"sqlstate", "pgcode"}) {
            object code = nb::getattr(current, name, nb::none());
            if (!code.is_none()) return text(code);
        }
        object orig = nb::getattr(current, "orig", nb::none());
        current = orig.is_none() ? nb::getattr(current, "__cause__", nb::none()) : orig;
    }
    return "";
}

}  // namespace

bool database_unavailable(const nb::python_error& error) {
    if (error.matches(PyExc_OSError)) return true;  // TimeoutError too, and refused connections
    object exc = nb::module_::import_("sqlalchemy.exc");
    if (error.matches(exc.attr("OperationalError")) || error.matches(exc.attr("InterfaceError")) ||
        error.matches(exc.attr("DisconnectionError")))
        return true;
    if (truthy(nb::getattr(error.value(), "connection_invalidated", nb::bool_(false)))) return true;
    const std::string state = sqlstate_of(error.value());
    return state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0;
}

}  // namespace vexa::maptile
