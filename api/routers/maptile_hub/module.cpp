// module.cpp: start-up of vexa.maptile_hub: configuration, module objects and routes, in order;
// and the module's names as bound now (hub.hpp).
#include "cache/cache.hpp"
#include "startup.hpp"
#include "cache/freshness.hpp"
#include "endpoints/guards.hpp"
#include "hub.hpp"
#include "cache/rate_limit.hpp"
#include "cache/redis_guard.hpp"
#include "sql/transaction.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <cmath>
#include <thread>

namespace vexa::maptile {

Namespace& ns() { return kept<Namespace>(); }

namespace bound {
object logger() { return ns()["logger"]; }
object redis_client() { return ns()["redis_client"]; }
object cache() { return ns()["cache"]; }
object LAYER_CONFIG() { return ns()["LAYER_CONFIG"]; }
object MAX_FEATURES_GLOBAL() { return ns()["MAX_FEATURES_GLOBAL"]; }
object MAX_BBOX_AREA_WGS84() { return ns()["MAX_BBOX_AREA_WGS84"]; }
object CACHE_TTL_SHORT() { return ns()["CACHE_TTL_SHORT"]; }
object CACHE_TTL_LONG() { return ns()["CACHE_TTL_LONG"]; }
object DEFAULT_CENTROID_ZOOM() { return ns()["DEFAULT_CENTROID_ZOOM"]; }
object asyncio() { return ns()["asyncio"]; }
object json() { return ns()["json"]; }
object text() { return ns()["text"]; }
object Response() { return ns()["Response"]; }
object JSONResponse() { return ns()["JSONResponse"]; }
object HTTPException() { return ns()["HTTPException"]; }
object SQLAlchemyError() { return ns()["SQLAlchemyError"]; }
object api_response() { return ns()["api_response"]; }
object api_router_response() { return ns()["api_router_response"]; }
object latlon_to_xyz() { return ns()["latlon_to_xyz"]; }
object xyz_to_bbox_web_mercator() { return ns()["xyz_to_bbox_web_mercator"]; }
}  // namespace bound

object define(FunctionSpec description) { return vexa::define(ns(), std::move(description)); }

void log(const char* level, const std::string& message) { bound::logger().attr(level)(pystr(message)); }

object min_zoom_of(handle config) { return config.attr("get")("min_zoom", 0); }

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

/// os.getenv(name, default), or None when there is no default and the variable is unset.
object env(const char* name, const char* fallback) {
    object getenv = ns()["os"].attr("getenv");
    return fallback ? getenv(name, fallback) : getenv(name);
}

/// The cores this process may run on (its affinity, as a container or taskset sets it).
int usable_cores() {
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0) return CPU_COUNT(&cores);
    return static_cast<int>(std::thread::hardware_concurrency());
}

/// load_dotenv() finds the default dotenv file from the importing Python file. With no
/// Python source file on the stack (a script read from stdin, an embedding host) its frame
/// walk fails with AssertionError; the search then starts from the working directory.
void load_environment() {
    try {
        ns()["load_dotenv"]();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AssertionError)) throw;
        object find_dotenv = nb::module_::import_("dotenv").attr("find_dotenv");
        ns()["load_dotenv"](find_dotenv(nb::arg("usecwd") = true));
    }
}

/// A setting of a count: `name` from the environment as decimal integer text, `fallback` when it
/// is unset; at least 1, or start-up fails naming it.
object count_setting(const char* name, const std::string& fallback) {
    object setting = env(name, fallback.c_str());
    object value;
    try {
        value = builtin::int_type()(setting);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    if (!value.is_valid() || nb::cast<long long>(value) < 1)
        raise(PyExc_ValueError, std::string(name) + " must be a positive integer, not " + text(setting));
    return value;
}

/// Where the host's slots are kept unless VEXA_HOST_SLOTS_DIR says: in memory (/dev/shm) where
/// the machine has it, one directory per user.
std::string default_slots_dir() {
    const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    return base + "/vexa-host-slots-" + std::to_string(getuid());
}

/// A setting of milliseconds: `name` from the environment as decimal text, `fallback` when it is
/// unset; a positive number, or start-up fails naming it.
object milliseconds(const char* name, const char* fallback) {
    object setting = env(name, fallback);
    object value;
    try {
        value = builtin::float_type()(setting);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    if (!value.is_valid() || !(number(value) > 0) || !std::isfinite(number(value)))
        raise(PyExc_ValueError, std::string(name) + " must be a positive number of milliseconds, not " + text(setting));
    return value;
}

/// VEXA_PUBLIC_URL: an absolute http(s) URL, or None when it is unset or empty.
object public_url() {
    object setting = env("VEXA_PUBLIC_URL", nullptr);
    if (setting.is_none() || text(setting).empty()) return nb::none();
    const std::string url = text(setting);
    const bool absolute = (url.rfind("http://", 0) == 0 && url.size() > 7) || (url.rfind("https://", 0) == 0 && url.size() > 8);
    if (!absolute || url.find_first_of(" \t\r\n?#") != std::string::npos)
        raise(PyExc_ValueError, "VEXA_PUBLIC_URL must be an absolute http:// or https:// URL without query or "
                                "fragment, not " + url);
    return setting;
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

}  // namespace vexa::maptile

using namespace vexa;
using namespace vexa::maptile;

NB_MODULE(maptile_hub, m) {
    Namespace& names = ns();
    names.bind(m);
    init_runtime(m);

    // 1. The facilities the module works with.
    names.bind_module("asyncio", "asyncio");
    names.bind_module("os", "os");
    names.bind_module("logging", "logging");
    names.bind_module("json", "json");
    names.bind_from("fastapi", {"APIRouter", "Depends", "HTTPException", "Query", "Response", "status", "Request"});
    names.bind_from("fastapi.responses", {"JSONResponse", "StreamingResponse"});
    names.bind_from("sqlalchemy.ext.asyncio", {"AsyncSession"});
    names.bind_from("sqlalchemy", {"text"});
    names.bind_from("sqlalchemy.exc", {"SQLAlchemyError"});
    names.bind_from("database", {"get_db"});
    names.bind_from("helpers.responses", {"api_response", "api_router_response"});
    names.bind_from("helpers.utils", {"latlon_to_xyz", "xyz_to_bbox_web_mercator"});
    names.bind_from("dotenv", {"load_dotenv"});

    // 2-4. Environment from the dotenv file, logging, the module logger.
    load_environment();
    object logging = names["logging"];
    logging.attr("basicConfig")(nb::arg("level") = logging.attr("INFO"));
    names.set("logger", logging.attr("getLogger")(m.attr("__name__")));

    // 5. The router.
    nb::list tags;
    tags.append("GIS Tiles");
    names.set("maptileHub", names["APIRouter"](nb::arg("prefix") = "/gis", nb::arg("tags") = tags));

    // 6. Constants.
    names.set("DEFAULT_CENTROID_ZOOM", nb::int_(16));
    names.set("MAX_BBOX_AREA_WGS84", nb::float_(1.0));
    names.set("MAX_FEATURES_GLOBAL", nb::int_(15000));
    names.set("CACHE_TTL_SHORT", nb::int_(1800));
    names.set("CACHE_TTL_LONG", nb::int_(7200));
    // How many bounding-box tiles a worker computes at once, and how long one waits for its
    // turn before it is answered 503 (a host may change both). As many as the cores this process
    // may run on, and at least 2: on a database of this machine, more queries at once than cores
    // only wait in the database, and take the cores from the workers answering cached tiles.
    names.set("BBOX_QUERY_SLOTS", nb::int_(std::max(2, usable_cores())));
    names.set("BBOX_QUERY_WAIT_S", nb::float_(0.5));
    // The host's slots of expensive database work, shared by all its workers: by default one core
    // fewer than the machine's, so that at least one is left for cached tiles; where they are
    // kept; and how long a request waits for one before it is answered 503.
    names.set("HOST_DATABASE_SLOTS", count_setting("VEXA_HOST_DATABASE_SLOTS", std::to_string(std::max(1, usable_cores() - 1))));
    names.set("HOST_DATABASE_WAIT_S", nb::float_(1.0));
    names.set("HOST_SLOTS_DIR", env("VEXA_HOST_SLOTS_DIR", default_slots_dir().c_str()));
    // Each client's budget of expensive work (bounding-box tiles, the all-layers tile, and what a
    // host charges to it: searches, plans): milliseconds of work a second, the debt it may run
    // up at once, and what each request is charged on account until it is settled. A client
    // may keep a quarter of a core busy on average, and have a few plans drawn (a PDF, or the
    // first plan of a fresh drawing process, takes over a second) or boxes at the limits at once.
    names.set("COST_BUDGET_MS", milliseconds("VEXA_COST_BUDGET_MS", "250"));
    names.set("COST_BURST_MS", milliseconds("VEXA_COST_BURST_MS", "5000"));
    names.set("COST_ADVANCE_MS", milliseconds("VEXA_COST_ADVANCE_MS", "50"));
    // How many /gis/tile-versions streams a worker keeps open for one client address, and in all
    // (a host may change both); past them it answers 429, and 503, with Retry-After. A browser
    // keeps one per open map tab, a few browsers may share one address (an office's), and each
    // stream holds a socket: the module's README says why these numbers.
    names.set("VERSION_STREAMS_PER_ADDRESS", nb::int_(8));
    names.set("VERSION_STREAMS_PER_WORKER", nb::int_(500));
    // The address clients reach the service at (a proxy's, a CDN's), for the URLs it writes;
    // None: each request's own (see public_base in tilejson.cpp).
    names.set("PUBLIC_URL", public_url());

    // 7. Redis settings; port and database must be decimal integer text.
    object int_type = builtin::int_type();
    names.set("redis_host", env("REDIS_HOST", "localhost"));
    names.set("redis_port", int_type(env("REDIS_PORT", "6379")));
    names.set("redis_db", int_type(env("REDIS_DB", "0")));
    names.set("redis_password", env("REDIS_PASSWORD", nullptr));
    names.set("redis_username", env("REDIS_USERNAME", nullptr));

    // 8-9. The shared Redis client; it opens no connection until first used. Its pool, made
    // with the same connection arguments, holds REDIS_MAX_CONNECTIONS connections and makes a
    // command wait for a free one.
    names.bind_module("aioredis", "redis.asyncio");
    nb::dict arguments;
    arguments["host"] = names["redis_host"];
    arguments["port"] = names["redis_port"];
    arguments["db"] = names["redis_db"];
    arguments["password"] = names["redis_password"];
    arguments["username"] = names["redis_username"];
    arguments["decode_responses"] = false;
    arguments["socket_connect_timeout"] = 5;
    arguments["socket_timeout"] = 5;
    nb::dict pool_arguments = nb::steal<nb::dict>(PyDict_Copy(arguments.ptr()));
    pool_arguments["max_connections"] = count_setting("REDIS_MAX_CONNECTIONS", DEFAULT_REDIS_MAX_CONNECTIONS);
    pool_arguments["timeout"] = REDIS_POOL_TIMEOUT;
    pool_arguments["retry"] = single_retry();
    arguments["connection_pool"] = call_with(names["aioredis"].attr("BlockingConnectionPool"), pool_arguments);
    names.set("redis_client", call_with(names["aioredis"].attr("Redis"), arguments));

    // 10-12. The binary tile cache and its start-up lines.
    define_cache_class();
    names.set("cache", names["BinaryRedisCache"](names["redis_client"], nb::arg("namespace") = "mvt_v8"));
    print_line("\u2713 Binary Redis cache initialized (no UTF-8 decoding)");
    print_line("  - Namespace: mvt_v8");
    print_line("  - Redis: " + text(names["redis_host"]) + ":" + text(names["redis_port"]) + "/" +
               text(names["redis_db"]));
    print_line("  - decode_responses: False (handles binary data)");

    // 13-15. Invalidation, the catalogue, and the module functions in their order.
    define_invalidation();
    define_catalogue();
    define_zoom_config();
    define_mvt_sql();
    define_transaction();
    define_cache_functions();
    define_freshness();
    define_guards();
    define_redis_guard();
    define_rate_limit();
    define_cost_budget();
    define_host_slots();
    define_change_listener();
    define_versions_watcher();

    // 16. The routes.
    register_routes();
}
