// query_failure.cpp: how an endpoint answers the failure of its database query.
#include "query_failure.hpp"

#include "responses.hpp"

namespace vexa::maptile {

Coro answered(Coro query, QueryFailure failure) {
    try {
        co_return co_await std::move(query);
    } catch (nb::python_error& e) {
        if (e.matches(bound::asyncio().attr("TimeoutError"))) {
            log("error", failure.timeout_log);
            raise_http(408, failure.timeout_detail, e.value());
        }
        if (!failure.database_log.empty() && e.matches(bound::SQLAlchemyError())) {
            log("error", failure.database_log + text(e.value()));
            raise_http(500, failure.database_detail, e.value());
        }
        if (!is_exception(e)) throw;
        log("error", failure.error_log + text(e.value()));
        raise_http(500, failure.error_detail, e.value());
    }
}

}  // namespace vexa::maptile
