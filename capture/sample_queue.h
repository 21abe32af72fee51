// One captured process's samples between its capture thread and the output loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// 100 ms of stereo at 48 kHz: the most a fast source may run ahead of the output.
inline constexpr size_t QUEUE_LIMIT = 9600;

// Full scale of a signed 16-bit sample maps to [-1.0, 1.0) with one exact multiply.
constexpr float int16ToFloat(int16_t value) {
    return static_cast<float>(value) * 0.000030517578125f;
}

// A bounded first-in-first-out queue of interleaved left/right floats. Samples come
// in whole frames and the bound is even, so the oldest sample is always a left one.
// Not locked: its owner guards it.
class SampleQueue {
  public:
    // Appends frames × 2 little-endian int16 values, or as many zeros when the packet
    // is flagged silent (its data is then not read). Keeps only the newest QUEUE_LIMIT.
    void appendPacket(const uint8_t* data, size_t frames, bool silent);

    // Removes up to block.size() of the oldest samples and adds them, in order, to the
    // block's first positions; returns how many it took.
    size_t drainAddTo(std::span<float> block);

    size_t size() const { return count_; }

  private:
    void push(float sample);

    std::array<float, QUEUE_LIMIT> ring_{};
    size_t head_ = 0;
    size_t count_ = 0;
};
