// When a capture stream has failed for good. The audio service restarting or the
// device being invalidated leaves the stream answering every packet call with an
// error; only a new activation brings the sound back, so the capture thread ends
// and the next scan starts the capture anew.
#pragma once

#include <cstdint>

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
