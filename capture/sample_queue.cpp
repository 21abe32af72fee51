#include "capture/sample_queue.h"

#include <algorithm>

void SampleQueue::push(float sample) {
    // A full ring drops its oldest sample to make room, which keeps the newest ones.
    ring_[(head_ + count_) % QUEUE_LIMIT] = sample;
    if (count_ < QUEUE_LIMIT) {
        ++count_;
    } else {
        head_ = (head_ + 1) % QUEUE_LIMIT;
    }
}

void SampleQueue::appendPacket(const uint8_t* data, size_t frames, bool silent) {
    const size_t samples = frames * 2;
    for (size_t i = 0; i < samples; ++i) {
        if (silent) {
            push(0.0f);
        } else {
            const auto bits = static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
            push(int16ToFloat(static_cast<int16_t>(bits)));
        }
    }
}

size_t SampleQueue::drainAddTo(std::span<float> block) {
    const size_t taken = std::min(count_, block.size());
    for (size_t i = 0; i < taken; ++i) {
        block[i] += ring_[head_];
        head_ = (head_ + 1) % QUEUE_LIMIT;
    }
    count_ -= taken;
    return taken;
}

size_t SampleQueue::mixInto(std::span<float> block, size_t lateSamples) {
    // Lateness beyond a timer tick or so is a stall being caught up, not jitter;
    // owing for more would keep the source out of the mix all the while.
    const size_t cushion = CUSHION_SAMPLES + std::min(lateSamples, LATE_OWED_LIMIT);
    if (count_ > LATENCY_LIMIT) {
        head_ = (head_ + count_ - cushion) % QUEUE_LIMIT;
        count_ = cushion;
    }
    idleBlocks_ = count_ > 0 && count_ == countAtLastMix_ ? idleBlocks_ + 1 : 0;
    mixing_ = mixing_ || count_ >= cushion || idleBlocks_ >= CUSHION_IDLE_BLOCKS;
    const size_t taken = mixing_ ? drainAddTo(block) : 0;
    mixing_ = mixing_ && taken == block.size();
    countAtLastMix_ = count_;
    return taken;
}
