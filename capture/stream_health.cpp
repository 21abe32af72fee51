#include "capture/stream_health.h"

#include "capture/activation_schedule.h"

bool StreamHealth::failedAfter(int32_t result) {
    if (result >= 0) {
        failuresInRow_ = 0;
        return false;
    }
    if (result == HR_AUDCLNT_E_DEVICE_INVALIDATED || result == HR_AUDCLNT_E_SERVICE_NOT_RUNNING ||
        result == HR_AUDCLNT_E_RESOURCES_INVALIDATED) {
        return true;
    }
    return ++failuresInRow_ >= STREAM_FAILURES_IN_ROW;
}

void StreamRestarts::started(uint32_t pid, int64_t now) {
    records_[pid].startedAt = now;
}

void StreamRestarts::failed(uint32_t pid, int64_t now) {
    Record& record = records_[pid];
    const bool steady = now - record.startedAt >= STREAM_STEADY_MS;
    record.failures = steady ? 1 : record.failures + 1;
    // The same pauses as a stuck activation's, 2 s doubling up to a minute, the
    // first of them being the time to this scan.
    record.retryAt = record.failures == 1 ? now : now + activationRetryDelayMs(record.failures);
}

bool StreamRestarts::mayStart(uint32_t pid, int64_t now) const {
    const auto found = records_.find(pid);
    return found == records_.end() || now >= found->second.retryAt;
}

void StreamRestarts::keepOnly(const std::set<uint32_t>& wanted) {
    std::erase_if(records_, [&](const auto& entry) { return wanted.count(entry.first) == 0; });
}
