#include <gtest/gtest.h>

#include "desktop/page_idle.h"

namespace {

TEST(PageIdle, MemoryIsTrimmedOnlyWhileHiddenAndSilent) {
    struct Case {
        bool shown, inCall, sharing;
        MemoryTarget target;
    };
    const Case cases[] = {
        {false, false, false, MemoryTarget::Low},   {false, true, false, MemoryTarget::Normal},
        {false, false, true, MemoryTarget::Normal}, {false, true, true, MemoryTarget::Normal},
        {true, false, false, MemoryTarget::Normal}, {true, true, true, MemoryTarget::Normal},
    };
    for (const auto& c : cases)
        EXPECT_EQ(memoryTargetFor(c.shown, c.inCall, c.sharing), c.target)
            << c.shown << c.inCall << c.sharing;
}

} // namespace
