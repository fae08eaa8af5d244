// function.hpp: Python function objects whose bodies are C++.
//
// Contract. make_function() builds, from one FunctionSpec, a function object that Python
// cannot tell from one written in Python: arguments bound as Python binds them (TypeError with
// Python's wording otherwise), a descriptor (a method inside a class), __name__, __qualname__,
// __module__, __doc__, __defaults__, __annotations__, __code__, a __dict__ and a real
// __signature__. The parameter list that builds the signature is the one the body reads: a
// body asks its Args for a parameter by its declared name. A coroutine function (async_body)
// gives a coroutine object (coroutine.hpp) that owns the bound arguments, and is recognised by
// inspect.iscoroutinefunction and asyncio.iscoroutinefunction.
#pragma once

#include "coroutine.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

/// One declared parameter (positional or keyword). A null `default_value` means the parameter
/// is required; a null `annotation` means it has none.
struct Param {
    std::string name;
    object annotation = {};
    object default_value = {};
};

/// The bound arguments of one call, read by parameter name. A name the function does not
/// declare is a programming error: it raises SystemError naming it. The names are the function's
/// own: a coroutine keeps its function alive for as long as it keeps its arguments.
class Args {
public:
    Args(const std::vector<Param>& params, std::vector<object> values)
        : params_(&params), values_(std::move(values)) {}
    /// The argument bound to `name` (borrowed: it lives as long as the call or coroutine).
    handle operator[](std::string_view name) const;

    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    const std::vector<Param>* params_;
    std::vector<object> values_;
};

/// Everything a function object is made from. Exactly one of `sync_body` and `async_body`
/// is set: the first makes a plain function, the second a coroutine function.
struct FunctionSpec {
    std::string name;
    std::string qualname;  // defaults to `name`
    std::string doc;
    std::vector<Param> params;
    object return_annotation = {};
    std::function<object(Args&)> sync_body;
    Coro (*async_body)(Args&) = nullptr;
};

/// Create the function object of `description` in the module `ns` (see the contract above).
object make_function(const Namespace& ns, FunctionSpec description);

/// make_function() for a method of the class `cls`: its __qualname__ is "cls.name".
object make_method(const Namespace& ns, const char* cls, FunctionSpec description);

/// make_function(), and the function bound in the module namespace under its name.
object define(const Namespace& ns, FunctionSpec description);

/// Create a plain Python class `name` (base `object`) in the module `ns` whose namespace is
/// `members` (function objects become its methods).
object make_class(const Namespace& ns, const char* name, const char* doc, nb::dict members);

/// The function type; call once from module initialisation (binds NativeFunction).
void init_function_type(handle module);

}  // namespace vexa
