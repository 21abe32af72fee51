#include <gtest/gtest.h>

#include "desktop/placement.h"

namespace {

TEST(WindowPlaceFile, ReadsOnlyOneLineOfFiveNumbersDescribingAWindow) {
    const std::pair<const char*, const char*> cases[] = {
        {"10 20 1290 840 0\n", "10 20 1290 840 0\n"},
        {"-1900 -5 -100 700 1", "-1900 -5 -100 700 1\n"},
        {"0 0 32767 1 0\r\n", "0 0 32767 1 0\n"},
        {"0 0 32768 100 0", nullptr},
        {"10 20 10 840 0", nullptr},
        {"10 20 1290 19 0", nullptr},
        {"10 20 1290 840 2", nullptr},
        {"10 20 1290 840", nullptr},
        {"10 20 1290 840 0 0", nullptr},
        {"10  20 1290 840 0", nullptr},
        {"+10 20 1290 840 0", nullptr},
        {"1 2 3 9999999 0", nullptr},
        {"10 20 1290 840 0\n\n", nullptr},
        {"- 20 1290 840 0", nullptr},
        {" 0", nullptr},
    };
    for (const auto& [text, written] : cases) {
        const auto place = readPlace(text);
        EXPECT_EQ(place ? placeText(*place) : "none", written ? written : "none") << text;
    }
}

TEST(WindowPlaceFile, KeepsAPlaceOnlyWhileItsTitleBarCanBeReached) {
    const std::vector<PlaceRect> screens = {{0, 0, 1600, 1000}, {1600, 200, 3520, 1280}};
    const std::pair<PlaceRect, bool> cases[] = {
        {{100, 100, 1380, 920}, true},
        {{2000, 300, 3280, 1120}, true}, // on the second screen
        {{1560, 100, 2840, 920}, false}, // only 40 pixels of its bar on the first
        {{1536, 100, 2816, 920}, true},  // 64
        {{1500, 150, 2780, 970}, true},  // above the second screen, 100 pixels on the first
        {{2000, -30, 3280, 790}, false}, // title bar above every screen
        {{100, 976, 1380, 1800}, true},  // just the bar's height left on screen
        {{100, 977, 1380, 1800}, false},
        {{-1380, 100, -100, 920}, false}, // a screen on the left was unplugged
    };
    for (const auto& [rect, usable] : cases)
        EXPECT_EQ(placeOnScreen({rect, false}, screens), usable) << rect.left << "," << rect.top;
    EXPECT_FALSE(placeOnScreen({{100, 100, 1380, 920}, false}, {}));
}

} // namespace
