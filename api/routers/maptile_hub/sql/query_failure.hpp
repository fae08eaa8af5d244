// query_failure.hpp: how an endpoint answers the failure of its database work: the one place
// where a failure becomes an answer.
#pragma once

#include "hub.hpp"

namespace vexa::maptile {

/// How one endpoint answers the failure of its database work, the one place where a failure
/// becomes an answer: a time-out, when `timeout_log` is set, is logged as `timeout_log` and
/// answered 408 `timeout_detail`; a database error, when `database_log` is set, is logged as
/// `database_log` + the error and answered 500 `database_detail`; any other ordinary error is
/// logged as `error_log` + the error and answered `error_status` `error_detail`, or, with
/// `unavailable_retry_s` set and a database out of reach (database_unavailable), 503 "Database
/// unavailable" with that Retry-After. What is not an ordinary error (a cancellation,
/// GeneratorExit) goes on unchanged.
struct QueryFailure {
    std::string timeout_log = {}, timeout_detail = {};
    std::string database_log = {}, database_detail = {};
    std::string error_log, error_detail;
    int error_status = 500;
    int unavailable_retry_s = 0;
};

/// Await `query` and give its result, its failure answered as `failure` says.
Coro answered(Coro query, QueryFailure failure);

/// True for the errors of a database out of reach rather than of a statement it refused: a
/// time-out, a refused or lost connection (OSError, SQLAlchemy's OperationalError, InterfaceError
/// and invalidated connections), or a server that is starting up or shutting down (SQLSTATE
/// classes 08 and 57P).
bool database_unavailable(const nb::python_error& error);

}  // namespace vexa::maptile
