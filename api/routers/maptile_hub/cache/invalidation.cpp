// invalidation.cpp: removing cached entries by layer, entirely or by pattern (key_removal:
// UNLINK by keys and by SCAN patterns); the workers report a count, the schedulers run them in
// the background, the endpoint waits for them.
#include "startup.hpp"
#include "key_removal.hpp"

#include "freshness.hpp"
#include "guarded.hpp"
#include "endpoints/responses.hpp"

#include <algorithm>

namespace vexa::maptile {

namespace {

/// What the invalidation keeps between calls.
struct InvalidationState {
    /// Invalidation tasks started in the background, kept until they are done: asyncio keeps
    /// only weak references to tasks.
    object background_tasks;
    /// contextvars.ContextVar: how the last invalidation worker of the current context failed.
    object failure;
};

InvalidationState& state() { return kept<InvalidationState>(); }

}  // namespace

namespace bound {
object _invalidate_layer_cache_task() { return ns()["_invalidate_layer_cache_task"]; }
object _invalidate_all_cache_task() { return ns()["_invalidate_all_cache_task"]; }
object _invalidate_cache_by_pattern_task() { return ns()["_invalidate_cache_by_pattern_task"]; }
}  // namespace bound

namespace {

/// What one worker removes: the keys its patterns match and its single keys (the layers'
/// bounding-box indexes among them), and the layers whose generation it advances first and
/// whose version it publishes once they are gone.
struct Scope {
    std::vector<std::string> patterns;
    std::vector<std::string> keys;
    std::vector<std::string> layers;
};

/// One worker: advance the generations of the scope's layers, delete what it covers and log
/// `success` + count + `success_end`, then publish the layers' versions; on a failure log
/// `failure` + the error and give 0. The failure is also left in the caller's context, where the
/// invalidation endpoint looks for it: a failed deletion must not be reported to its client as a
/// success.
Coro invalidate(Scope scope, std::string success, std::string success_end, std::string failure) {
    RemovalCount removed;
    OnError on_error{.level = "error", .message = failure, .then = [&](const nb::python_error& e) {
                         state().failure.attr("set")(nb::make_tuple(e.value(), removed.entries));
                     }};
    object done = co_await guarded(
        [&]() -> Coro {
            Held client = bound::redis_client();
            Held advanced = co_await advance_generations(client, scope.layers);
            // The single keys first: a box entry written after its index is gone names itself in a
            // new one, and every entry written before is found by the patterns below.
            co_await unlink_keys(client, scope.keys, send_plainly, &removed);
            for (const std::string& pattern : scope.patterns)
                co_await unlink_matching(client, pattern, send_plainly, &removed);
            log("info", success + std::to_string(removed.entries) + success_end);
            co_await publish_versions(client, scope.layers, object(advanced));
            co_return nb::int_(removed.entries);
        }(),
        std::move(on_error));
    co_return done.is_none() ? object(nb::int_(0)) : done;
}

std::string cache_namespace() { return text(bound::cache().attr("namespace")); }

/// A layer's tiles, bounding-box tiles and centroid (and its generation, when it is a layer of
/// the catalogue).
Scope layer_scope(const std::string& layer) {
    const std::string prefix = cache_namespace() + ":";
    std::vector<std::string> layers = layer_names();
    const bool known = std::find(layers.begin(), layers.end(), layer) != layers.end();
    std::vector<std::string> keys{prefix + "centroid:" + layer};
    if (known) keys.push_back(bbox_index_key(layer));  // the index of the box entries removed with it
    return {.patterns = {prefix + layer + ":*", prefix + "bbox:" + layer + ":*"},
            .keys = std::move(keys),
            .layers = known ? std::vector<std::string>{layer} : std::vector<std::string>{}};
}

Coro invalidate_layer_task(Args& a) {
    const std::string layer_name = text(a["layer_name"]);
    Scope scope = layer_scope(layer_name);
    co_return co_await invalidate(std::move(scope), "Background task: Invalidated ",
                                  " cache entries for layer '" + layer_name + "'",
                                  "Background task failed to invalidate cache for layer '" + layer_name + "': ");
}

Coro invalidate_all_task(Args&) {
    Scope everything{.patterns = {cache_namespace() + ":*"}, .layers = layer_names()};
    for (const std::string& layer : everything.layers) everything.keys.push_back(bbox_index_key(layer));
    co_return co_await invalidate(std::move(everything), "Background task: Invalidated ALL cache entries: ",
                                  " keys deleted", "Background task failed to invalidate all cache: ");
}

Coro invalidate_pattern_task(Args& a) {
    const std::string pattern = text(a["pattern"]);
    Scope matching{.patterns = {cache_namespace() + ":" + pattern}, .layers = layers_of_pattern(pattern)};
    co_return co_await invalidate(std::move(matching), "Background task: Invalidated ",
                                  " cache entries matching pattern '" + pattern + "'",
                                  "Background task failed to invalidate cache by pattern '" + pattern + "': ");
}

/// Await `worker` and raise a 503 when it failed; gives its count otherwise.
Coro checked(object worker) {
    object failure_var = state().failure;
    Held token = failure_var.attr("set")(nb::none());
    object deleted_count = co_await std::move(worker);
    object failure = failure_var.attr("get")();
    failure_var.attr("reset")(token);
    if (!failure.is_none()) {
        const long long partial = nb::cast<long long>(failure[nb::int_(1)]);
        raise_http(503, "Cache invalidation failed: " + text(failure[nb::int_(0)]) +
                            (partial ? " (" + std::to_string(partial) + " keys were deleted before the failure)" : ""));
    }
    co_return deleted_count;
}

Coro invalidate_cache_endpoint(Args& a) {
    handle layer_name = a["layer_name"];
    if (compare(layer_name, nb::str("all"), Py_EQ)) {
        object deleted_count = co_await checked(bound::_invalidate_all_cache_task()());
        nb::dict data;
        data["deleted_count"] = deleted_count;
        co_return bound::api_router_response()(bound::api_response()(
            nb::arg("data") = data,
            nb::arg("message") = pystr("All cache invalidated successfully. " + text(deleted_count) + " keys deleted.")));
    }
    if (!contains(bound::LAYER_CONFIG(), layer_name)) {
        object names = steal(PySequence_List(bound::LAYER_CONFIG().ptr()));
        raise_http(404, "Layer '" + text(layer_name) + "' not found. Valid layers: " + text(names));
    }
    object deleted_count = co_await checked(bound::_invalidate_layer_cache_task()(layer_name));
    nb::dict data;
    data["layer"] = layer_name;
    data["deleted_count"] = deleted_count;
    co_return bound::api_router_response()(bound::api_response()(
        nb::arg("data") = data,
        nb::arg("message") = pystr("Cache for layer '" + text(layer_name) + "' invalidated successfully. " +
                                   text(deleted_count) + " keys deleted.")));
}

/// Start `worker` on the running loop. asyncio keeps only weak references to tasks, so the
/// task stays in `background_tasks` until it is done, lest it vanish half-way. A worker that
/// cannot be started (no running loop) is closed, so it does not linger as never awaited.
void schedule(object worker, const std::string& debug_line) {
    object task;
    try {
        task = bound::asyncio().attr("create_task")(worker);
    } catch (nb::python_error&) {
        worker.attr("close")();
        throw;
    }
    object tasks = state().background_tasks;
    tasks.attr("add")(task);
    task.attr("add_done_callback")(tasks.attr("discard"));
    log("debug", debug_line);
}

object invalidate_layer_cache(Args& a) {
    schedule(bound::_invalidate_layer_cache_task()(a["layer_name"]),
             "Scheduled background cache invalidation for layer '" + text(a["layer_name"]) + "'");
    return nb::none();
}

object invalidate_all_cache(Args&) {
    schedule(bound::_invalidate_all_cache_task()(), "Scheduled background cache invalidation for ALL layers");
    return nb::none();
}

object invalidate_cache_by_pattern(Args& a) {
    schedule(bound::_invalidate_cache_by_pattern_task()(a["pattern"]),
             "Scheduled background cache invalidation for pattern '" + text(a["pattern"]) + "'");
    return nb::none();
}

}  // namespace

void define_invalidation() {
    state().background_tasks = nb::set();
    state().failure = nb::module_::import_("contextvars")
                                       .attr("ContextVar")("vexa_maptile_invalidation_failure", nb::arg("default") = nb::none());
    // Each worker beside the scheduler that starts it in the background.
    auto worker_and_scheduler = [](const char* worker, const char* worker_doc, Coro (*work)(Args&), const char* scheduler,
                                   std::string scheduler_doc, object (*schedule)(Args&), std::vector<Param> params) {
        define({.name = worker, .doc = worker_doc, .params = params, .return_annotation = builtin::int_type(),
                .async_body = work});
        define({.name = scheduler,
                .doc = scheduler_doc + "\n\nThis runs asynchronously without blocking the response.",
                .params = params,
                .sync_body = schedule});
    };
    worker_and_scheduler("_invalidate_layer_cache_task", "Internal task for cache invalidation.", invalidate_layer_task,
                         "invalidate_layer_cache",
                         "Invalidate all cached tiles for a specific layer (runs as background task).\n\n"
                         "Args:\n    layer_name: Name of the layer to invalidate (e.g., 'plots', 'beacons')",
                         invalidate_layer_cache, {{"layer_name", builtin::str_type()}});
    worker_and_scheduler("_invalidate_all_cache_task", "Internal task for invalidating all cache.", invalidate_all_task,
                         "invalidate_all_cache",
                         "Invalidate ALL cached tiles across all layers (runs as background task).\n\n"
                         "Use with caution - only when you need to clear everything.",
                         invalidate_all_cache, {});
    worker_and_scheduler("_invalidate_cache_by_pattern_task", "Internal task for pattern-based cache invalidation.",
                         invalidate_pattern_task, "invalidate_cache_by_pattern",
                         "Invalidate cache entries matching a custom pattern (runs as background task).\n\n"
                         "Args:\n    pattern: Redis pattern to match (e.g., 'plots:18:*' for all zoom 18 plot tiles)",
                         invalidate_cache_by_pattern, {{"pattern", builtin::str_type()}});
}

object make_invalidate_cache_endpoint() {
    return define({.name = "invalidate_cache_endpoint",
                   .doc = "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.",
                   .params = {{"layer_name", builtin::str_type()}},
                   .async_body = invalidate_cache_endpoint});
}

}  // namespace vexa::maptile
