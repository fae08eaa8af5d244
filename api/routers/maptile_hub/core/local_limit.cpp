// local_limit.cpp: fixed one-second windows per key.
#include "local_limit.hpp"

namespace vexa::tiles {

namespace {
constexpr double WINDOW_S = 1.0;
}

bool LocalWindows::admit(const std::string& key, double now, long long limit) {
    auto found = windows_.find(key);
    if (found == windows_.end() || now - found->second.opened >= WINDOW_S) {
        if (found == windows_.end() && windows_.size() >= max_keys_) sweep(now);
        windows_[key] = Window{now, 1};
        return 1 <= limit;
    }
    return ++found->second.count <= limit;
}

void LocalWindows::sweep(double now) {
    for (auto it = windows_.begin(); it != windows_.end();)
        it = now - it->second.opened >= WINDOW_S ? windows_.erase(it) : std::next(it);
    if (windows_.size() >= max_keys_) windows_.clear();
}

}  // namespace vexa::tiles
