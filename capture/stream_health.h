// When a capture stream has failed for good. The audio service restarting or the
// device being invalidated leaves the stream answering every packet call with an
// error; only a new activation brings the sound back, so the capture thread ends
// and the next scan starts the capture anew.
#pragma once

#include <cstdint>
#include <map>
#include <set>

// Codes the platform gives for a stream that cannot recover, as it numbers them.
inline constexpr int32_t HR_AUDCLNT_E_DEVICE_INVALIDATED = static_cast<int32_t>(0x88890004);
inline constexpr int32_t HR_AUDCLNT_E_SERVICE_NOT_RUNNING = static_cast<int32_t>(0x88890010);
inline constexpr int32_t HR_AUDCLNT_E_RESOURCES_INVALIDATED = static_cast<int32_t>(0x88890026);

// Any other failure counts once it comes back this many times in a row: the
// capture thread asks again at each wake-up (at most 100 ms apart).
inline constexpr int STREAM_FAILURES_IN_ROW = 10;

class StreamHealth {
  public:
    // Notes the result of one packet call (GetNextPacketSize or GetBuffer); true
    // once the stream has failed for good.
    bool failedAfter(int32_t result);

  private:
    int failuresInRow_ = 0;
};

// When a pid whose stream failed for good may be captured again, in milliseconds
// of a monotonic clock, counted from the scan that finds the failure. The first
// failure is retried by that scan at once: scans are 2 s apart, so that is the
// first 2 s pause. Each failure in a row after it waits twice as long as the one
// before (4 s, 8 s, ... at most 60 s), so that a stream that keeps failing does
// not cost an activation every scan. A stream that ran for a minute before it
// failed starts again from the first pause.
inline constexpr int64_t STREAM_STEADY_MS = 60000;

class StreamRestarts {
  public:
    void started(uint32_t pid, int64_t now);
    void failed(uint32_t pid, int64_t now);
    bool mayStart(uint32_t pid, int64_t now) const;
    // The records of pids no longer wanted go.
    void keepOnly(const std::set<uint32_t>& wanted);

  private:
    struct Record {
        int64_t startedAt = 0;
        int failures = 0;
        int64_t retryAt = 0;
    };
    std::map<uint32_t, Record> records_;
};
