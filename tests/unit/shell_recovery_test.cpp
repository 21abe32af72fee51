#include <gtest/gtest.h>

#include "shell/recovery.h"

namespace {

struct Step {
    int kind;
    uint64_t atMs;
    Recovery expected;
};

TEST(ProcessFailure, RenderersReloadAndTheBrowserIsRebuiltThreeTimesAMinute) {
    constexpr int GPU_PROCESS_EXITED = 6;
    const Step steps[] = {
        {RENDER_PROCESS_EXITED, 0, Recovery::Reload},
        {RENDER_PROCESS_UNRESPONSIVE, 0, Recovery::Reload},
        {GPU_PROCESS_EXITED, 0, Recovery::Nothing},
        {BROWSER_PROCESS_EXITED, 1000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 2000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 60999, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 60999, Recovery::GiveUp},
        // The first rebuild is 60 s old: one more may go ahead, then none.
        {BROWSER_PROCESS_EXITED, 61000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 61001, Recovery::GiveUp},
        {BROWSER_PROCESS_EXITED, 200000, Recovery::Rebuild},
    };
    BrowserRebuilds rebuilds;
    for (const auto& s : steps)
        EXPECT_EQ(rebuilds.onProcessFailed(s.kind, s.atMs), s.expected)
            << "kind " << s.kind << " at " << s.atMs << " ms";
}

} // namespace
