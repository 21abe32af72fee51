#include "capture/output_stream.h"

#include <algorithm>

#include "capture/sample_queue.h"

void clampBlock(std::span<float> block) {
    for (float& sample : block) {
        sample = std::max(std::min(sample, 1.0f), -1.0f);
    }
}

int64_t blockDueTime(int64_t c0, int64_t frequency, int64_t n) {
    const int64_t seconds = n / BLOCKS_PER_SECOND;
    const int64_t rest = n % BLOCKS_PER_SECOND;
    return c0 + seconds * frequency + (rest * frequency) / BLOCKS_PER_SECOND;
}

int64_t pacingSleepMillis(int64_t remaining, int64_t frequency) {
    const int64_t millis =
        (remaining / frequency) * 1000 + ((remaining % frequency) * 1000) / frequency;
    return std::max<int64_t>(1, millis);
}

int64_t pacingTimerUnits(int64_t remaining, int64_t frequency) {
    constexpr int64_t UNITS_PER_SECOND = 10000000;
    constexpr int64_t SHORTEST_WAIT = 1000;
    const int64_t units = (remaining / frequency) * UNITS_PER_SECOND +
                          ((remaining % frequency) * UNITS_PER_SECOND + frequency - 1) / frequency;
    return std::max(SHORTEST_WAIT, units);
}

size_t samplesIn(int64_t ticks, int64_t frequency) {
    // A second holds more than the bound, and below it the product cannot overflow.
    if (ticks >= frequency) {
        return QUEUE_LIMIT;
    }
    const int64_t samples =
        ticks * static_cast<int64_t>(BLOCK_SAMPLES) * BLOCKS_PER_SECOND / frequency;
    return static_cast<size_t>(std::clamp<int64_t>(samples, 0, QUEUE_LIMIT));
}
