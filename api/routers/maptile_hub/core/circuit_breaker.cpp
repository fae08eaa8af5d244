// circuit_breaker.cpp: the breaker's transitions.
#include "circuit_breaker.hpp"

#include <algorithm>

namespace vexa::tiles {

const char* state_name(BreakerState state) {
    switch (state) {
        case BreakerState::closed: return "closed";
        case BreakerState::open: return "open";
        case BreakerState::half_open: return "half_open";
    }
    return "closed";
}

CircuitBreaker::Admission CircuitBreaker::admit(double now, bool may_probe) {
    if (!open_) return Admission::call;
    if (probing_ || now < open_until_ || !may_probe) return Admission::skip;
    probing_ = true;
    return Admission::probe;
}

CircuitBreaker::Change CircuitBreaker::succeeded(Admission how) {
    if (how != Admission::probe) return Change::none;
    probing_ = false;
    open_ = false;
    backoff_ = 0;
    return Change::closed;
}

CircuitBreaker::Change CircuitBreaker::failed(Admission how, double now) {
    if (how == Admission::probe) {
        probing_ = false;
        backoff_ = std::min(backoff_ * 2, max_backoff);
        open_until_ = now + backoff_;
        return Change::reopened;
    }
    if (how != Admission::call || open_) return Change::none;
    open_ = true;
    backoff_ = first_backoff;
    open_until_ = now + backoff_;
    return Change::opened;
}

void CircuitBreaker::abandoned(Admission how) {
    if (how == Admission::probe) probing_ = false;
}

BreakerState CircuitBreaker::state(double now) const {
    if (!open_) return BreakerState::closed;
    return probing_ || now >= open_until_ ? BreakerState::half_open : BreakerState::open;
}

}  // namespace vexa::tiles
