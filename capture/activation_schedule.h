// When the session scan (re)tries the loopback activation of each wanted process,
// in milliseconds of a monotonic clock. An activation is given 5000 ms; one that
// has not completed by then has timed out, and its pid is tried anew only after a
// growing pause (2 s, 4 s, 8 s, ... 60 s). Until then a late completion of the
// attempt in flight is still taken, so a slow platform gets its capture, and a
// stuck one costs a handler and an event per retry instead of one per scan.
#pragma once

#include <cstdint>
#include <map>

inline constexpr int64_t ACTIVATION_TIMEOUT_MS = 5000;

// The pause after the n-th time-out in a row (n >= 1).
int64_t activationRetryDelayMs(int timeouts);

class ActivationSchedule {
  public:
    enum class Step {
        BEGIN, // no attempt in flight: begin one
        WAIT,  // keep waiting for the attempt in flight
        RETRY, // give up the attempt in flight and begin anew
    };

    // For a wanted pid that has no capture. BEGIN and RETRY count as begun at now.
    Step next(uint32_t pid, int64_t now);

    // The attempt for pid is over: it completed (well or not), or pid is no longer
    // wanted. The next one begins with a clean record.
    void finished(uint32_t pid);

  private:
    struct Attempt {
        int64_t begunAt;
        int timeouts;
    };
    std::map<uint32_t, Attempt> attempts_;
};
