#include "capture/activation_schedule.h"

#include <algorithm>

namespace {

constexpr int64_t FIRST_RETRY_DELAY_MS = 2000;
constexpr int64_t LONGEST_RETRY_DELAY_MS = 60000;

} // namespace

int64_t activationRetryDelayMs(int timeouts) {
    // Doubling stops at the cap, so no run of time-outs can overflow it.
    int64_t delay = FIRST_RETRY_DELAY_MS;
    for (int n = 1; n < timeouts && delay < LONGEST_RETRY_DELAY_MS; ++n) {
        delay *= 2;
    }
    return std::min(delay, LONGEST_RETRY_DELAY_MS);
}

ActivationSchedule::Step ActivationSchedule::next(uint32_t pid, int64_t now) {
    const auto found = attempts_.find(pid);
    if (found == attempts_.end()) {
        attempts_[pid] = {now, 0};
        return Step::BEGIN;
    }
    Attempt& attempt = found->second;
    const int64_t retryAt =
        attempt.begunAt + ACTIVATION_TIMEOUT_MS + activationRetryDelayMs(attempt.timeouts + 1);
    if (now < retryAt) {
        return Step::WAIT;
    }
    attempt = {now, attempt.timeouts + 1};
    return Step::RETRY;
}

void ActivationSchedule::finished(uint32_t pid) {
    attempts_.erase(pid);
}
