// module.cpp: start-up of vexa.maptile_hub: configuration, module objects and routes, in order.
#include "module.hpp"

namespace vexa::maptile {

namespace {

/// os.getenv(name, default), or None when there is no default and the variable is unset.
object env(const char* name, const char* fallback) {
    object getenv = ns["os"].attr("getenv");
    return fallback ? getenv(name, fallback) : getenv(name);
}

/// load_dotenv() finds the default dotenv file from the importing Python file. With no
/// Python source file on the stack (a script read from stdin, an embedding host) its frame
/// walk fails with AssertionError; the search then starts from the working directory.
void load_environment() {
    try {
        ns["load_dotenv"]();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AssertionError)) throw;
        object find_dotenv = nb::module_::import_("dotenv").attr("find_dotenv");
        ns["load_dotenv"](find_dotenv(nb::arg("usecwd") = true));
    }
}

/// REDIS_MAX_CONNECTIONS, the size of the Redis client's pool: decimal integer text, at least 1.
object pool_size() {
    object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    object setting = env("REDIS_MAX_CONNECTIONS", DEFAULT_REDIS_MAX_CONNECTIONS);
    object size = int_type(setting);
    if (nb::cast<long long>(size) < 1)
        raise(PyExc_ValueError, "REDIS_MAX_CONNECTIONS must be a positive integer, not " + text(setting));
    return size;
}

/// One immediate retry of a command whose connection was refused or lost (a pooled connection
/// that a Redis restart closed), none after a time-out: redis-py's default retries for seconds,
/// which would hold a request far past the time limits it runs under.
object single_retry() {
    object retry = nb::module_::import_("redis.asyncio.retry").attr("Retry");
    object no_backoff = nb::module_::import_("redis.backoff").attr("NoBackoff");
    object connection_error = nb::module_::import_("redis.exceptions").attr("ConnectionError");
    return retry(no_backoff(), 1, nb::make_tuple(connection_error));
}

/// callable(**arguments).
object call_with(handle callable, const nb::dict& arguments) {
    return steal(PyObject_Call(callable.ptr(), nb::tuple().ptr(), arguments.ptr()));
}

void print_line(const std::string& line) { nb::module_::import_("builtins").attr("print")(pystr(line)); }

}  // namespace

object define(FunctionSpec description) { return vexa::define(ns, std::move(description)); }

void log(const char* level, const std::string& message) { ns["logger"].attr(level)(pystr(message)); }

object tile_response(handle content, handle headers) {
    return ns["Response"](nb::arg("content") = content,
                          nb::arg("media_type") = "application/vnd.mapbox-vector-tile",
                          nb::arg("headers") = headers);
}

void raise_http(int status, const std::string& detail, handle context) {
    object error = ns["HTTPException"](nb::arg("status_code") = status, nb::arg("detail") = pystr(detail));
    if (context.is_valid()) PyException_SetContext(error.ptr(), Py_NewRef(context.ptr()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

object no_content() { return ns["Response"](nb::arg("status_code") = 204); }

}  // namespace vexa::maptile

using namespace vexa;
using namespace vexa::maptile;

NB_MODULE(maptile_hub, m) {
    ns.bind(m);
    init_runtime(m);

    // 1. The facilities the module works with.
    ns.bind_module("asyncio", "asyncio");
    ns.bind_module("os", "os");
    ns.bind_module("logging", "logging");
    ns.bind_module("json", "json");
    ns.bind_from("fastapi", {"APIRouter", "Depends", "HTTPException", "Query", "Response", "status", "Request"});
    ns.bind_from("fastapi.responses", {"JSONResponse"});
    ns.bind_from("sqlalchemy.ext.asyncio", {"AsyncSession"});
    ns.bind_from("sqlalchemy", {"text"});
    ns.bind_from("sqlalchemy.exc", {"SQLAlchemyError"});
    ns.bind_from("database", {"get_db"});
    ns.bind_from("helpers.responses", {"api_response", "api_router_response"});
    ns.bind_from("helpers.utils", {"latlon_to_xyz", "xyz_to_bbox_web_mercator"});
    ns.bind_from("dotenv", {"load_dotenv"});

    // 2-4. Environment from the dotenv file, logging, the module logger.
    load_environment();
    object logging = ns["logging"];
    logging.attr("basicConfig")(nb::arg("level") = logging.attr("INFO"));
    ns.set("logger", logging.attr("getLogger")(m.attr("__name__")));

    // 5. The router.
    nb::list tags;
    tags.append("GIS Tiles");
    ns.set("maptileHub", ns["APIRouter"](nb::arg("prefix") = "/gis", nb::arg("tags") = tags));

    // 6. Constants.
    ns.set("DEFAULT_CENTROID_ZOOM", nb::int_(16));
    ns.set("MAX_BBOX_AREA_WGS84", nb::float_(1.0));
    ns.set("MAX_FEATURES_GLOBAL", nb::int_(15000));
    ns.set("CACHE_TTL_SHORT", nb::int_(1800));
    ns.set("CACHE_TTL_LONG", nb::int_(7200));

    // 7. Redis settings; port and database must be decimal integer text.
    object int_type = builtin::int_type();
    ns.set("redis_host", env("REDIS_HOST", "localhost"));
    ns.set("redis_port", int_type(env("REDIS_PORT", "6379")));
    ns.set("redis_db", int_type(env("REDIS_DB", "0")));
    ns.set("redis_password", env("REDIS_PASSWORD", nullptr));
    ns.set("redis_username", env("REDIS_USERNAME", nullptr));

    // 8-9. The shared Redis client; it opens no connection until first used. Its pool, made
    // with the same connection arguments, holds REDIS_MAX_CONNECTIONS connections and makes a
    // command wait for a free one.
    ns.bind_module("aioredis", "redis.asyncio");
    nb::dict arguments;
    arguments["host"] = ns["redis_host"];
    arguments["port"] = ns["redis_port"];
    arguments["db"] = ns["redis_db"];
    arguments["password"] = ns["redis_password"];
    arguments["username"] = ns["redis_username"];
    arguments["decode_responses"] = false;
    arguments["socket_connect_timeout"] = 5;
    arguments["socket_timeout"] = 5;
    nb::dict pool_arguments = nb::steal<nb::dict>(PyDict_Copy(arguments.ptr()));
    pool_arguments["max_connections"] = pool_size();
    pool_arguments["timeout"] = REDIS_POOL_TIMEOUT;
    pool_arguments["retry"] = single_retry();
    arguments["connection_pool"] = call_with(ns["aioredis"].attr("BlockingConnectionPool"), pool_arguments);
    ns.set("redis_client", call_with(ns["aioredis"].attr("Redis"), arguments));

    // 10-12. The binary tile cache and its start-up lines.
    define_cache_class();
    ns.set("cache", ns["BinaryRedisCache"](ns["redis_client"], nb::arg("namespace") = "mvt_v8"));
    print_line("\u2713 Binary Redis cache initialized (no UTF-8 decoding)");
    print_line("  - Namespace: mvt_v8");
    print_line("  - Redis: " + text(ns["redis_host"]) + ":" + text(ns["redis_port"]) + "/" + text(ns["redis_db"]));
    print_line("  - decode_responses: False (handles binary data)");

    // 13-15. Invalidation, the catalogue, and the module functions in their order.
    define_invalidation();
    define_catalogue();
    define_zoom_config();
    define_mvt_sql();
    define_transaction();
    define_cache_functions();
    define_guards();
    define_redis_guard();

    // 16. The routes.
    register_routes();
}
