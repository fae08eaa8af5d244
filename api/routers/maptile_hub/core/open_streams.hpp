// open_streams.hpp: the places a worker gives its open streams, counted per client address and
// in all, without an interpreter: a place taken as a stream opens, given back as it ends.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace vexa::tiles {

class OpenStreams {
public:
    /// Why a place was not given: none (it was), the address holds its bound, the worker its.
    enum class Refusal { none, address_full, worker_full };

    /// A place for a stream of `address`, while the address holds fewer than `per_address` and
    /// the worker fewer than `per_worker`. The worker's bound is looked at first: a full worker
    /// refuses every address alike.
    Refusal take(const std::string& address, long long per_address, long long per_worker);

    /// The place of a stream of `address` given back. An address that holds none keeps none:
    /// nothing is taken from the others.
    void give_back(const std::string& address);

    long long open() const { return open_; }
    long long open_of(const std::string& address) const;
    /// How many addresses hold a place (an address whose streams have all ended is forgotten).
    size_t addresses() const { return by_address_.size(); }

private:
    std::unordered_map<std::string, long long> by_address_;
    long long open_ = 0;
};

}  // namespace vexa::tiles
