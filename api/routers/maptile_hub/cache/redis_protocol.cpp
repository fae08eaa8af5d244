// redis_protocol.cpp: which of scripts and transactions each client's Redis runs, found out by
// using them and asked again rarely; the module's Lua scripts run by EVALSHA.
#include "redis_protocol.hpp"

#include "guarded.hpp"
#include "per_object.hpp"

namespace vexa::maptile {

namespace {

/// What one client's Redis refused: for each feature, when it may be asked again (0: never
/// refused, or found back).
struct Refusals {
    double scripts_until = 0;
    double transactions_until = 0;
    bool scripts_logged = false;
    bool transactions_logged = false;
};

PerObject<Refusals>& refusals() { return kept<PerObject<Refusals>>(); }

double& until_of(Refusals& r, Feature feature) {
    return feature == Feature::scripts ? r.scripts_until : r.transactions_until;
}

bool& logged_of(Refusals& r, Feature feature) {
    return feature == Feature::scripts ? r.scripts_logged : r.transactions_logged;
}

/// The warning of a refused `feature`: its first words, then (after the cause) what the module
/// does without it.
const char* without(Feature feature) {
    return feature == Feature::scripts
               ? "Redis runs no scripts for this client ("
               : "Redis runs no transactions for this client (";
}

const char* instead(Feature feature) {
    return feature == Feature::scripts
               ? "): a tile request's rate count and cache read take two round trips instead of one, and tiles are "
                 "stored with WATCH/MULTI, checked against their layer's generation as atomically as by the script"
               : "): tiles are stored with single commands, their layer's generation checked before and after the "
                 "write, so a tile read before an invalidation may stay visible for one round trip before it is "
                 "removed";
}


}  // namespace

std::string redis_text(handle answer) {
    if (PyBytes_Check(answer.ptr())) return std::string(PyBytes_AS_STRING(answer.ptr()), PyBytes_GET_SIZE(answer.ptr()));
    return text(answer);
}

LuaScript lua_script(const char* source) {
    object digest = nb::module_::import_("hashlib").attr("sha1")(pystr(source).attr("encode")("utf-8"));
    return {pystr(source), digest.attr("hexdigest")()};
}

bool command_refused(const nb::python_error& error) {
    if (error.matches(PyExc_AttributeError)) return true;
    object exceptions = nb::module_::import_("redis.exceptions");
    // NOPERM for the command itself ("... no permissions to run the 'evalsha' command"), not for
    // a key the user may not touch, which no other command would mend.
    if (error.matches(exceptions.attr("NoPermissionError"))) return text(error.value()).find("to run") != std::string::npos;
    if (!error.matches(exceptions.attr("ResponseError"))) return false;
    // Redis says "unknown command 'evalsha', with args beginning with: ..." (older servers "ERR
    // unknown command"); a proxy that does not pass a command says much the same.
    const std::string message = text(error.value());
    return message.find("unknown command") != std::string::npos ||
           message.find("not supported") != std::string::npos;
}

bool refused_for_now(handle client, Feature feature) {
    const Refusals* known = refusals().find(client);
    if (!known) return false;
    const double until = feature == Feature::scripts ? known->scripts_until : known->transactions_until;
    return until != 0 && steady_seconds() < until;
}

bool may_use(handle client, Feature feature) {
    if (!refusals().find(client)) return true;
    double& until = until_of(refusals().of(client), feature);
    if (until == 0) return true;
    if (steady_seconds() < until) return false;
    until = steady_seconds() + FEATURE_PROBE_S;  // this call is the probe; the others wait for its outcome
    return true;
}

void refused(handle client, Feature feature, const nb::python_error& error) {
    Refusals& r = refusals().of(client);
    until_of(r, feature) = steady_seconds() + FEATURE_PROBE_S;
    const std::string line = without(feature) + described(error.value()) + instead(feature) + "; asking again in " +
                             std::to_string(int(FEATURE_PROBE_S)) + " s";
    log(logged_of(r, feature) ? "debug" : "warning", line);
    logged_of(r, feature) = true;
}

void worked(handle client, Feature feature) {
    if (!refusals().find(client)) return;
    double& until = until_of(refusals().of(client), feature);
    if (until == 0) return;
    until = 0;
    log("info", feature == Feature::scripts ? "Redis runs scripts again for this client"
                                            : "Redis runs transactions again for this client");
}

Coro run_script(object client_given, LuaScript script, nb::tuple keys, nb::tuple arguments) {
    Held client = std::move(client_given);
    if (!may_use(client, Feature::scripts)) co_return object();
    auto run = [&](const char* command, handle name) {
        object call = steal(PySequence_Concat(nb::make_tuple(name, nb::len(keys)).ptr(), keys.ptr()));
        call = steal(PySequence_Concat(call.ptr(), arguments.ptr()));
        return steal(PyObject_Call(client.attr(command).ptr(), call.ptr(), nullptr));
    };
    Held answer;
    bool unknown_script = false;
    try {
        object running = run("evalsha", script.sha);
        answer = co_await std::move(running);
    } catch (nb::python_error& e) {
        if (e.matches(nb::module_::import_("redis.exceptions").attr("NoScriptError"))) {
            unknown_script = true;
        } else if (command_refused(e)) {
            refused(client, Feature::scripts, e);
            co_return object();
        } else {
            throw;
        }
    }
    if (unknown_script) {  // the server does not know the script yet
        try {
            object running = run("eval", script.text);
            answer = co_await std::move(running);
        } catch (nb::python_error& e) {
            if (!command_refused(e)) throw;
            refused(client, Feature::scripts, e);
            co_return object();
        }
    }
    worked(client, Feature::scripts);
    co_return answer;
}

}  // namespace vexa::maptile
