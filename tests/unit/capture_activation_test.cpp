#include <gtest/gtest.h>

#include <vector>

#include "capture/activation_schedule.h"
#include "capture/stream_health.h"

namespace {

using Step = ActivationSchedule::Step;

TEST(CaptureActivation, RetryPausesDoubleUpToAMinute) {
    const int64_t expected[] = {2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (int n = 1; n <= 7; ++n) {
        EXPECT_EQ(activationRetryDelayMs(n), expected[n - 1]) << n;
    }
    EXPECT_EQ(activationRetryDelayMs(1000), 60000);
}

// One scan's question about one pid, or the end of its attempt (expect unused).
struct Event {
    const char* behaviour;
    int64_t at;
    uint32_t pid;
    bool finished;
    Step expect;
};

TEST(CaptureActivation, StuckActivationsAreRetriedAfterGrowingPauses) {
    const Event events[] = {
        {"a new pid begins at once", 0, 7, false, Step::BEGIN},
        {"another pid has its own record", 0, 8, false, Step::BEGIN},
        {"no second attempt while one is in flight", 4999, 7, false, Step::WAIT},
        {"timed out, but the pause has not passed", 6999, 7, false, Step::WAIT},
        {"5 s time-out plus 2 s pause", 7000, 7, false, Step::RETRY},
        {"the retry gets its own 5 s", 11999, 7, false, Step::WAIT},
        {"second time-out: 4 s pause", 15999, 7, false, Step::WAIT},
        {"retried after 5 + 4 s", 16000, 7, false, Step::RETRY},
        {"third time-out: 8 s pause", 28999, 7, false, Step::WAIT},
        {"retried after 5 + 8 s", 29000, 7, false, Step::RETRY},
        {"a completion ends the record", 29500, 7, true, Step::WAIT},
        {"the next attempt starts afresh", 29600, 7, false, Step::BEGIN},
        {"and times out after the first pause again", 36600, 7, false, Step::RETRY},
        {"the other pid was never held back by the first", 7000, 8, false, Step::RETRY},
        {"a pid no longer wanted is forgotten", 7100, 8, true, Step::WAIT},
        {"and begins at once when wanted again", 7200, 8, false, Step::BEGIN},
    };
    ActivationSchedule schedule;
    for (const Event& e : events) {
        if (e.finished) {
            schedule.finished(e.pid);
        } else {
            EXPECT_EQ(schedule.next(e.pid, e.at), e.expect) << e.behaviour;
        }
    }
}

TEST(CaptureActivation, StreamsFailForGoodOnInvalidationOrOnTenFailuresInARow) {
    constexpr int32_t E_FAIL_CODE = static_cast<int32_t>(0x80004005);
    constexpr int32_t BUFFER_EMPTY = 0x08890001;
    const struct {
        const char* behaviour;
        std::vector<int32_t> results;
        size_t failedAtCall; // 0: never
    } cases[] = {
        {"successes never fail", {0, BUFFER_EMPTY, 0, 1}, 0},
        {"the device was invalidated", {0, HR_AUDCLNT_E_DEVICE_INVALIDATED}, 2},
        {"the audio service stopped", {HR_AUDCLNT_E_SERVICE_NOT_RUNNING}, 1},
        {"the resources were invalidated", {0, 0, HR_AUDCLNT_E_RESOURCES_INVALIDATED}, 3},
        {"nine other failures in a row are not yet for good", std::vector<int32_t>(9, E_FAIL_CODE),
         0},
        {"the tenth is", std::vector<int32_t>(10, E_FAIL_CODE), 10},
        {"a success in between starts the count again",
         {E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, 0, E_FAIL_CODE,
          E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE, E_FAIL_CODE,
          E_FAIL_CODE},
         0},
    };
    for (const auto& c : cases) {
        StreamHealth health;
        size_t failedAt = 0;
        for (size_t i = 0; i < c.results.size() && failedAt == 0; ++i) {
            if (health.failedAfter(c.results[i])) {
                failedAt = i + 1;
            }
        }
        EXPECT_EQ(failedAt, c.failedAtCall) << c.behaviour;
    }
}

TEST(CaptureActivation, AStreamThatKeepsFailingWaitsLongerEachTimeUntilItRunsAMinute) {
    // A stream of pid 7 started at `start` and the scan at `failed` found it failed;
    // it may start again from `waitsUntil` on.
    const struct {
        const char* behaviour;
        int64_t start, failed, waitsUntil;
    } cases[] = {
        {"the first failure is retried by the scan that finds it", 0, 500, 500},
        {"the second in a row waits 4 s", 2500, 3000, 7000},
        {"the third 8 s", 9000, 9500, 17500},
        {"the fourth 16 s", 19500, 20000, 36000},
        {"the fifth 32 s", 38000, 38500, 70500},
        {"the sixth and later a minute", 72500, 73000, 133000},
        {"a stream that ran a minute starts from the first pause", 135000, 195000, 195000},
        {"and doubles again from there", 197000, 197500, 201500},
    };
    StreamRestarts restarts;
    for (const auto& c : cases) {
        restarts.started(7, c.start);
        restarts.failed(7, c.failed);
        EXPECT_FALSE(restarts.mayStart(7, c.waitsUntil - 1)) << c.behaviour;
        EXPECT_TRUE(restarts.mayStart(7, c.waitsUntil)) << c.behaviour;
    }
    EXPECT_TRUE(restarts.mayStart(8, 0)) << "another pid has no pause";
    restarts.failed(7, 300000);
    restarts.failed(7, 300000);
    restarts.keepOnly({8});
    EXPECT_TRUE(restarts.mayStart(7, 300000)) << "a pid no longer wanted is forgotten";
}

} // namespace
