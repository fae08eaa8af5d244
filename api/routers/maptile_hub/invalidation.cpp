// invalidation.cpp: removing cached entries by layer, entirely or by pattern, with a SCAN
// walk and one DEL per key; the workers report a count, the schedulers run them in the
// background.
#include "module.hpp"

namespace vexa::maptile {

namespace {

PyObject* background_tasks = nullptr;  // set of running invalidation tasks, lives for the process

/// Delete every key matching `pattern`, one DEL at a time in scan order; gives the count.
Coro delete_matching(std::string pattern) {
    object client = ns["redis_client"];
    long long deleted_count = 0;
    AsyncIter keys(client.attr("scan_iter")(nb::arg("match") = pystr(pattern), nb::arg("count") = 100));
    while (object key = co_await keys.next()) {
        co_await client.attr("delete")(key);
        ++deleted_count;
    }
    co_return nb::int_(deleted_count);
}

std::string cache_namespace() { return text(ns["cache"].attr("namespace")); }

Coro invalidate_layer_task(Args a) {
    std::string layer_name = text(a[0]);
    try {
        object deleted_count = co_await run(delete_matching(cache_namespace() + ":" + layer_name + ":*"));
        log("info", "Background task: Invalidated " + text(deleted_count) + " cache entries for layer '" +
                        layer_name + "'");
        co_return deleted_count;
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        log("error", "Background task failed to invalidate cache for layer '" + layer_name + "': " + text(e.value()));
    }
    co_return nb::int_(0);
}

Coro invalidate_all_task(Args) {
    try {
        object deleted_count = co_await run(delete_matching(cache_namespace() + ":*"));
        log("info", "Background task: Invalidated ALL cache entries: " + text(deleted_count) + " keys deleted");
        co_return deleted_count;
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        log("error", "Background task failed to invalidate all cache: " + text(e.value()));
    }
    co_return nb::int_(0);
}

Coro invalidate_pattern_task(Args a) {
    std::string pattern = text(a[0]);
    try {
        object deleted_count = co_await run(delete_matching(cache_namespace() + ":" + pattern));
        log("info", "Background task: Invalidated " + text(deleted_count) + " cache entries matching pattern '" +
                        pattern + "'");
        co_return deleted_count;
    } catch (nb::python_error& e) {
        if (!is_exception(e)) throw;
        log("error", "Background task failed to invalidate cache by pattern '" + pattern + "': " + text(e.value()));
    }
    co_return nb::int_(0);
}

/// Start `worker` on the running loop. asyncio keeps only weak references to tasks, so the
/// task stays in `background_tasks` until it is done, lest it vanish half-way.
void schedule(object worker, const std::string& debug_line) {
    object task = ns["asyncio"].attr("create_task")(worker);
    nb::handle tasks(background_tasks);
    tasks.attr("add")(task);
    task.attr("add_done_callback")(tasks.attr("discard"));
    log("debug", debug_line);
}

object invalidate_layer_cache(Args& a) {
    schedule(ns["_invalidate_layer_cache_task"](a[0]),
             "Scheduled background cache invalidation for layer '" + text(a[0]) + "'");
    return nb::none();
}

object invalidate_all_cache(Args&) {
    schedule(ns["_invalidate_all_cache_task"](), "Scheduled background cache invalidation for ALL layers");
    return nb::none();
}

object invalidate_cache_by_pattern(Args& a) {
    schedule(ns["_invalidate_cache_by_pattern_task"](a[0]),
             "Scheduled background cache invalidation for pattern '" + text(a[0]) + "'");
    return nb::none();
}

}  // namespace

void define_invalidation() {
    background_tasks = steal(PySet_New(nullptr)).release().ptr();
    object str_type = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    const char* background = "\n\nThis runs asynchronously without blocking the response.";
    define({.name = "_invalidate_layer_cache_task",
            .doc = "Internal task for cache invalidation.",
            .params = {{"layer_name", str_type}},
            .return_annotation = int_type,
            .async_body = invalidate_layer_task});
    define({.name = "invalidate_layer_cache",
            .doc = std::string("Invalidate all cached tiles for a specific layer (runs as background task).\n\n"
                               "Args:\n    layer_name: Name of the layer to invalidate (e.g., 'plots', 'beacons')") +
                   background,
            .params = {{"layer_name", str_type}},
            .sync_body = invalidate_layer_cache});
    define({.name = "_invalidate_all_cache_task",
            .doc = "Internal task for invalidating all cache.",
            .return_annotation = int_type,
            .async_body = invalidate_all_task});
    define({.name = "invalidate_all_cache",
            .doc = std::string("Invalidate ALL cached tiles across all layers (runs as background task).\n\n"
                               "Use with caution - only when you need to clear everything.") +
                   background,
            .sync_body = invalidate_all_cache});
    define({.name = "_invalidate_cache_by_pattern_task",
            .doc = "Internal task for pattern-based cache invalidation.",
            .params = {{"pattern", str_type}},
            .return_annotation = int_type,
            .async_body = invalidate_pattern_task});
    define({.name = "invalidate_cache_by_pattern",
            .doc = std::string("Invalidate cache entries matching a custom pattern (runs as background task).\n\n"
                               "Args:\n    pattern: Redis pattern to match (e.g., 'plots:18:*' for all zoom 18 plot tiles)") +
                   background,
            .params = {{"pattern", str_type}},
            .sync_body = invalidate_cache_by_pattern});
}

}  // namespace vexa::maptile
