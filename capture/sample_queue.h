// One captured process's samples between its capture thread and the output loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// 100 ms of stereo at 48 kHz: the most a fast source may run ahead of the output.
inline constexpr size_t QUEUE_LIMIT = 9600;
// Two blocks (20 ms): what a source must have queued, beyond what the output owes
// for being late, before it joins the mix. A block and a half was measured to leave
// partial blocks with a 15.6 ms timer tick and packets of 441 to 720 frames.
inline constexpr size_t CUSHION_SAMPLES = 1920;
// The most a late block adds to the cushion: two blocks, more than a 15.6 ms tick.
inline constexpr size_t LATE_OWED_LIMIT = 1920;
// A queue that has not grown over this many blocks holds the end of a sound.
inline constexpr int CUSHION_IDLE_BLOCKS = 3;
// 50 ms: a source this far ahead of the output (it ran while the output could not
// take it, or its clock is fast) is cut back to the cushion at once, so its delay
// does not stay high for as long as it plays.
inline constexpr size_t LATENCY_LIMIT = 4800;

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

    // The output loop's share of this source for one block. Packets arrive in
    // sizes and at times of the platform's choosing, and a block may leave up to
    // a timer tick late with the next one right behind it; taking only what is
    // there would leave the tail of such blocks silent, a click. So the source
    // joins the mix once CUSHION_SAMPLES are queued (or its queue has stopped
    // growing: the end of a short sound), then gives whole blocks until it runs
    // dry, and then waits for the cushion again. lateSamples is how far past its
    // due time this block leaves: what arrived meanwhile is no cushion, as the
    // blocks after it may leave on time (up to LATE_OWED_LIMIT). A queue past
    // LATENCY_LIMIT first loses its oldest samples down to the cushion. Returns
    // how many samples it gave.
    size_t mixInto(std::span<float> block, size_t lateSamples);

    size_t size() const { return count_; }

  private:
    void push(float sample);

    std::array<float, QUEUE_LIMIT> ring_{};
    size_t head_ = 0;
    size_t count_ = 0;
    bool mixing_ = false;
    size_t countAtLastMix_ = 0;
    int idleBlocks_ = 0;
};
