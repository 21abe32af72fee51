// Arithmetic of the paced output stream: block size, clamp, and when each block is due.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// 480 stereo frames: 10 ms at 48 kHz, 3840 bytes of float.
inline constexpr size_t BLOCK_SAMPLES = 960;
inline constexpr int64_t BLOCKS_PER_SECOND = 100;

// Limits every sample to [-1.0, +1.0]; sums of several sources may exceed it.
void clampBlock(std::span<float> block);

// Counter value at which block n is due: c0 + floor(n × frequency / 100). Every
// block is placed against the fixed start, so rounding never accumulates, and the
// product is split so that it cannot overflow for any realistic running time.
int64_t blockDueTime(int64_t c0, int64_t frequency, int64_t n);

// How long to sleep while `remaining` counter ticks are left before a due time:
// the whole milliseconds they make, but at least 1 so the loop never spins.
int64_t pacingSleepMillis(int64_t remaining, int64_t frequency);

// The same wait in the 100-ns units of a waitable timer, which wakes on time
// rather than on the system's tick: the ticks rounded up, but at least 0.1 ms so
// the loop never spins.
int64_t pacingTimerUnits(int64_t remaining, int64_t frequency);

// How many stereo samples of the stream a span of counter ticks holds, at most
// the queue's bound (a later block needs no more cushion than that).
size_t samplesIn(int64_t ticks, int64_t frequency);
