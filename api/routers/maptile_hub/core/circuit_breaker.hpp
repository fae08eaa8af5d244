// circuit_breaker.hpp: the state of one circuit breaker around Redis, without an interpreter:
// closed; open for a back-off that doubles from 1 s up to 30 s; one probe at a time once it ends.
#pragma once

namespace vexa::tiles {

enum class BreakerState { closed, open, half_open };

/// "closed", "open" or "half_open".
const char* state_name(BreakerState state);

/// Decides whether a call may go to Redis and learns from its outcome. Times are seconds on a
/// monotonic clock, passed in by the caller. Only the single probe admitted after a back-off
/// can close an open breaker; outcomes of calls admitted before it opened change nothing.
class CircuitBreaker {
public:
    static constexpr double first_backoff = 1.0;
    static constexpr double max_backoff = 30.0;

    enum class Admission { call, probe, skip };
    enum class Change { none, opened, reopened, closed };

    /// `call` while closed; `skip` while open, and while another caller's probe is out; `probe`
    /// for the first caller after the back-off, unless `may_probe` is false (that caller skips).
    Admission admit(double now, bool may_probe = true);
    /// Redis answered the call admitted as `how`. A probe's answer closes the breaker.
    Change succeeded(Admission how);
    /// Redis failed the call admitted as `how` (time-out, refused or lost connection). A
    /// failure while closed opens the breaker; a failed probe doubles the back-off.
    Change failed(Admission how, double now);
    /// The call admitted as `how` ended without an outcome (cancelled): the next caller probes.
    void abandoned(Admission how);

    BreakerState state(double now) const;
    /// The current back-off in seconds (0 while closed).
    double backoff() const { return backoff_; }

private:
    bool open_ = false;
    bool probing_ = false;
    double open_until_ = 0;
    double backoff_ = 0;
};

}  // namespace vexa::tiles
