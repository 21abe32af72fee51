#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "capture/output_stream.h"
#include "capture/sample_queue.h"

namespace {

// Little-endian bytes of interleaved int16 values, as the platform hands packets over.
std::vector<uint8_t> packet(const std::vector<int16_t>& values) {
    std::vector<uint8_t> bytes;
    for (int16_t v : values) {
        const auto bits = static_cast<uint16_t>(v);
        bytes.push_back(static_cast<uint8_t>(bits & 0xFF));
        bytes.push_back(static_cast<uint8_t>(bits >> 8));
    }
    return bytes;
}

TEST(CaptureQueue, ConvertsFullScaleExactly) {
    const struct {
        int16_t in;
        float out;
    } cases[] = {{-32768, -1.0f},
                 {0, 0.0f},
                 {32767, 0.999969482421875f},
                 {1, 0.000030517578125f},
                 {-16384, -0.5f}};
    for (const auto& c : cases) {
        EXPECT_EQ(int16ToFloat(c.in), c.out) << c.in;
        // The queue decodes the packet's byte order itself.
        SampleQueue queue;
        queue.appendPacket(packet({c.in, c.in}).data(), 1, false);
        float block[2] = {};
        ASSERT_EQ(queue.drainAddTo(block), 2u);
        EXPECT_EQ(block[0], c.out) << c.in;
    }
}

TEST(CaptureQueue, SilentPacketsAddZerosWithoutReadingTheData) {
    SampleQueue queue;
    const auto loud = packet(std::vector<int16_t>(20, 12345));
    queue.appendPacket(loud.data(), 10, true);
    queue.appendPacket(nullptr, 5, true);
    EXPECT_EQ(queue.size(), 30u);
    std::vector<float> block(40, 0.0f);
    EXPECT_EQ(queue.drainAddTo(block), 30u);
    for (float sample : block) {
        EXPECT_EQ(sample, 0.0f);
    }
}

TEST(CaptureQueue, KeepsTheNewest9600SamplesWhenNobodyReads) {
    auto queue = std::make_unique<SampleQueue>();
    // 300 ms in 10 ms packets; each sample holds its own index so the survivors show.
    int16_t next = 0;
    for (int p = 0; p < 30; ++p) {
        std::vector<int16_t> values(960);
        for (int16_t& v : values) {
            v = next++;
        }
        queue->appendPacket(packet(values).data(), 480, false);
    }
    ASSERT_EQ(queue->size(), QUEUE_LIMIT);
    std::vector<float> all(QUEUE_LIMIT, 0.0f);
    ASSERT_EQ(queue->drainAddTo(all), QUEUE_LIMIT);
    for (size_t i = 0; i < QUEUE_LIMIT; ++i) {
        ASSERT_EQ(all[i], int16ToFloat(static_cast<int16_t>(28800 - 9600 + i))) << i;
    }
}

TEST(CaptureQueue, AlwaysStartsOnALeftSample) {
    // Left samples are positive, right ones negative; odd packet sizes make the
    // bound cut in the middle of packets, and reads take even counts.
    SampleQueue queue;
    const size_t frameCounts[] = {7, 1, 480, 3, 4801, 13};
    for (int round = 0; round < 200; ++round) {
        const size_t frames = frameCounts[round % 6];
        std::vector<int16_t> values;
        for (size_t f = 0; f < frames; ++f) {
            values.push_back(1000);
            values.push_back(-1000);
        }
        queue.appendPacket(packet(values).data(), frames, false);
        ASSERT_LE(queue.size(), QUEUE_LIMIT);
        std::vector<float> block(round % 5 == 0 ? 960 : 2, 0.0f);
        const size_t taken = queue.drainAddTo(block);
        ASSERT_EQ(taken % 2, 0u);
        for (size_t i = 0; i < taken; ++i) {
            ASSERT_EQ(block[i] > 0, i % 2 == 0) << "round " << round << " sample " << i;
        }
    }
}

TEST(CaptureMixer, AddsQueuesIntoTheBlockAndLeavesTheRestSilent) {
    SampleQueue short_;
    short_.appendPacket(packet({8192, -8192, 8192, -8192}).data(), 2, false);
    SampleQueue full;
    full.appendPacket(packet(std::vector<int16_t>(2000, 16384)).data(), 1000, false);
    std::vector<float> block(BLOCK_SAMPLES, 0.0f);
    EXPECT_EQ(short_.drainAddTo(block), 4u);
    EXPECT_EQ(full.drainAddTo(block), BLOCK_SAMPLES);
    clampBlock(block);
    EXPECT_EQ(block[0], 0.75f);
    EXPECT_EQ(block[1], 0.25f);
    EXPECT_EQ(block[4], 0.5f);
    EXPECT_EQ(block[BLOCK_SAMPLES - 1], 0.5f);
    EXPECT_EQ(full.size(), 2000u - BLOCK_SAMPLES) << "the rest waits for the next block";
}

TEST(CaptureMixer, TwoFullScaleSourcesClampToExactlyOne) {
    const struct {
        int16_t a;
        int16_t b;
        float out;
    } cases[] = {{32767, 32767, 1.0f},
                 {-32768, -32768, -1.0f},
                 {32767, -32768, int16ToFloat(32767) - 1.0f},
                 {-32768, 0, -1.0f}};
    for (const auto& c : cases) {
        SampleQueue a;
        SampleQueue b;
        a.appendPacket(packet(std::vector<int16_t>(BLOCK_SAMPLES, c.a)).data(), BLOCK_SAMPLES / 2,
                       false);
        b.appendPacket(packet(std::vector<int16_t>(BLOCK_SAMPLES, c.b)).data(), BLOCK_SAMPLES / 2,
                       false);
        std::vector<float> block(BLOCK_SAMPLES, 0.0f);
        a.drainAddTo(block);
        b.drainAddTo(block);
        clampBlock(block);
        for (float sample : block) {
            ASSERT_EQ(sample, c.out) << c.a << " + " << c.b;
        }
    }
}

const int64_t FREQUENCIES[] = {10'000'000, 3'579'545, 24'000'000, 2'400'000'000};
constexpr int64_t BLOCKS_PER_DAY = 24 * 3600 * BLOCKS_PER_SECOND;

TEST(CapturePacing, DueTimesStayExactOverADay) {
    for (int64_t f : FREQUENCIES) {
        for (int64_t c0 : {int64_t{0}, int64_t{987'654'321'012'345}}) {
            for (int64_t n = 0; n <= BLOCKS_PER_DAY; ++n) {
                const auto exact = static_cast<int64_t>(c0 + static_cast<__int128>(n) * f / 100);
                ASSERT_EQ(blockDueTime(c0, f, n), exact) << "f " << f << " block " << n;
            }
            EXPECT_EQ(blockDueTime(c0, f, BLOCKS_PER_DAY) - c0, 86400 * f);
        }
    }
}

TEST(CapturePacing, DueTimesDoNotOverflowOverYears) {
    // A naive n × f overflows 64 bits after about 443 days at 2.4 GHz.
    const int64_t f = 2'400'000'000;
    const int64_t years = 100LL * 365 * BLOCKS_PER_DAY;
    EXPECT_EQ(blockDueTime(5, f, years), 5 + years / 100 * f);
    EXPECT_EQ(blockDueTime(5, f, years + 1), 5 + years / 100 * f + f / 100);
}

TEST(CapturePacing, LatenessInSamplesStopsAtTheQueueBound) {
    const struct {
        int64_t ticks;
        int64_t f;
        size_t samples;
    } cases[] = {
        {-5, 10'000'000, 0},
        {0, 10'000'000, 0},
        {156'000, 10'000'000, 1497},
        {156'000, 10'000'001, 1497},
        {999'999, 10'000'000, 9599},
        {1'000'000, 10'000'000, 9600},
        {10'000'000, 10'000'000, 9600},
        {INT64_MAX / 2, 2'400'000'000, 9600},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(samplesIn(c.ticks, c.f), c.samples) << c.ticks << " at " << c.f;
    }
}

TEST(CapturePacing, SleepsAreWholeMillisecondsAndNeverZero) {
    const struct {
        int64_t remaining;
        int64_t f;
        int64_t ms;
    } cases[] = {
        {1, 10'000'000, 1},
        {9'999, 10'000'000, 1},
        {100'000, 10'000'000, 10},
        {35'795, 3'579'545, 9},
        {35'796, 3'579'545, 10},
        {24'000'000, 2'400'000'000, 10},
        {2'400'000'000 * 3, 2'400'000'000, 3000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pacingSleepMillis(c.remaining, c.f), c.ms) << c.remaining << " at " << c.f;
    }
}

TEST(CapturePacing, TimerWaitsRoundUpTo100nsAndLastAtLeastATenthOfAMillisecond) {
    const struct {
        int64_t remaining;
        int64_t f;
        int64_t units;
    } cases[] = {
        {1, 10'000'000, 1000},
        {1'000, 10'000'000, 1000},
        {1'001, 10'000'000, 1001},
        {35'796, 3'579'545, 100'002},
        {24'000'000, 2'400'000'000, 100'000},
        {24'000'001, 2'400'000'000, 100'001},
        {2'400'000'000 * 3, 2'400'000'000, 30'000'000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pacingTimerUnits(c.remaining, c.f), c.units) << c.remaining << " at " << c.f;
    }
}

// Runs the output loop's wait against a simulated counter over a day of blocks,
// with sleeps that overshoot by up to 2 ms and one half-second stall: every block
// leaves at or after its due time, no later than the sleep's granularity unless
// it was held up, and late blocks go back to back without moving later ones.
TEST(CapturePacing, SimulatedDayOfBlocksNeitherDriftsNorSpins) {
    for (int64_t f : {int64_t{3'579'545}, int64_t{2'400'000'000}}) {
        const int64_t c0 = 1'000'000;
        int64_t now = c0;
        uint32_t jitter = 12345;
        int64_t sleeps = 0;
        for (int64_t n = 0; n < BLOCKS_PER_DAY; ++n) {
            const int64_t due = blockDueTime(c0, f, n);
            const int64_t arrived = now;
            while (now < due) {
                const int64_t ms = pacingSleepMillis(due - now, f);
                ASSERT_GE(ms, 1);
                jitter = jitter * 1103515245 + 12345;
                now += (ms * 1000 + jitter % 2000) * f / 1'000'000;
                ++sleeps;
            }
            ASSERT_GE(now, due);
            if (arrived < due) {
                ASSERT_LT(now - due, f * 3 / 1000) << "block " << n << " left too late";
            }
            if (n == 40'000) {
                now += f / 2; // the output loop waited half a second for the table lock
            }
            if (n > 40'000 && n <= 40'050) {
                ASSERT_GE(arrived, due) << "blocks owed after a stall are written without sleeping";
            }
        }
        EXPECT_GE(sleeps, BLOCKS_PER_DAY - 100);
        EXPECT_LT(now - blockDueTime(c0, f, BLOCKS_PER_DAY - 1), f * 3 / 1000)
            << "no drift after a day at " << f;
    }
}

} // namespace

namespace {

// Packets arriving (frames, 0 for none) before each block, and what the source
// gives that block.
struct CushionStep {
    const char* behaviour;
    size_t frames;
    size_t given;
    size_t late = 0;
};

TEST(CaptureCushion, SourcesJoinWithABlockAndAHalfAndGiveWholeBlocks) {
    const CushionStep steps[] = {
        {"a large first packet waits for the cushion", 700, 0},
        {"a late block owes what came meanwhile", 480, 0, 500},
        {"the same queue is enough for a block on time", 0, 960},
        {"whole blocks while packets keep coming", 480, 960},
        {"a packet that is late is covered by the cushion", 0, 960},
        {"running dry gives what is left", 0, 440},
        {"then the source waits for the cushion again", 480, 0},
        {"uneven packets", 519, 960},
        {"still give whole blocks", 441, 960},
        {"two blocks at once on a coarse timer tick", 480, 960},
        {"the second of them", 0, 960},
        {"an exactly empty queue ends the turn", 0, 0},
        {"a short sound that never reaches the cushion", 100, 0},
        {"waits while its queue may still grow", 0, 0},
        {"and waits", 0, 0},
        {"until its queue has not grown for three blocks", 0, 200},
        {"a source 100 ms ahead of the output is cut back to the cushion", 4800, 960},
        {"so it runs dry a block later", 0, 960},
        {"and not ten", 0, 0},
        {"after a stall a block owes at most two blocks more", 1920, 960, 9600},
        {"a source far ahead of a late block is cut to what that block owes", 4800, 960, 960},
        {"so it gives the next block too", 0, 960},
        {"and then the rest", 0, 960},
        {"then runs dry", 0, 0},
    };
    SampleQueue queue;
    for (const CushionStep& step : steps) {
        if (step.frames > 0) {
            queue.appendPacket(packet(std::vector<int16_t>(step.frames * 2, 100)).data(),
                               step.frames, false);
        }
        std::vector<float> block(BLOCK_SAMPLES, 0.0f);
        const size_t given = queue.mixInto(block, step.late);
        EXPECT_EQ(given, step.given) << step.behaviour;
        for (size_t i = 0; i < BLOCK_SAMPLES; ++i) {
            ASSERT_EQ(block[i], i < given ? int16ToFloat(100) : 0.0f) << step.behaviour;
        }
    }
}

TEST(CaptureCushion, ACutKeepsTheNewestSamples) {
    std::vector<int16_t> values(QUEUE_LIMIT);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int16_t>(i);
    }
    SampleQueue queue;
    queue.appendPacket(packet(values).data(), QUEUE_LIMIT / 2, false);
    std::vector<float> block(BLOCK_SAMPLES, 0.0f);
    ASSERT_EQ(queue.mixInto(block, 0), BLOCK_SAMPLES);
    EXPECT_EQ(block[0], int16ToFloat(static_cast<int16_t>(QUEUE_LIMIT - CUSHION_SAMPLES)));
    EXPECT_EQ(queue.size(), CUSHION_SAMPLES - BLOCK_SAMPLES);
}

} // namespace
