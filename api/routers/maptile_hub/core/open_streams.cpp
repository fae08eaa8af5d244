// open_streams.cpp: places for open streams, per client address and in all.
#include "open_streams.hpp"

namespace vexa::tiles {

OpenStreams::Refusal OpenStreams::take(const std::string& address, long long per_address, long long per_worker) {
    if (open_ >= per_worker) return Refusal::worker_full;
    if (open_of(address) >= per_address) return Refusal::address_full;
    ++by_address_[address];
    ++open_;
    return Refusal::none;
}

void OpenStreams::give_back(const std::string& address) {
    auto found = by_address_.find(address);
    if (found == by_address_.end()) return;
    if (--found->second == 0) by_address_.erase(found);
    --open_;
}

long long OpenStreams::open_of(const std::string& address) const {
    auto found = by_address_.find(address);
    return found == by_address_.end() ? 0 : found->second;
}

}  // namespace vexa::tiles
