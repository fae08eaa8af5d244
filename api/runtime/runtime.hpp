// runtime.hpp: the runtime both modules are built on, in one include: Python plumbing
// (python.hpp), coroutines (coroutine.hpp), function objects (function.hpp), and the
// asynchronous protocols (async_protocols.hpp). Each header states its contract at its top.
#pragma once

#include "async_protocols.hpp"
#include "coroutine.hpp"
#include "function.hpp"
#include "python.hpp"

namespace vexa {

/// Register the runtime's types in `module`; call once from the module's initialisation.
inline void init_runtime(handle module) {
    init_coroutine_type(module);
    init_function_type(module);
}

}  // namespace vexa
