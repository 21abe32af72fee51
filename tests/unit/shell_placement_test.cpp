#include <gtest/gtest.h>

#include "shell/placement.h"

namespace {

bool same(const std::optional<WindowPlace>& a, const std::optional<WindowPlace>& b) {
    if (!a || !b) return !a && !b;
    const PlaceRect &x = a->rect, &y = b->rect;
    return x.left == y.left && x.top == y.top && x.right == y.right && x.bottom == y.bottom &&
           a->maximised == b->maximised;
}

TEST(WindowPlaceFile, ReadsOnlyOneLineOfFiveNumbersDescribingAWindow) {
    const std::pair<const char*, std::optional<WindowPlace>> cases[] = {
        {"10 20 1290 840 0\n", WindowPlace{{10, 20, 1290, 840}, false}},
        {"-1900 -5 -100 700 1", WindowPlace{{-1900, -5, -100, 700}, true}},
        {"0 0 32767 1 0\r\n", WindowPlace{{0, 0, 32767, 1}, false}},
        {"0 0 32768 100 0", std::nullopt},
        {"10 20 10 840 0", std::nullopt},
        {"10 20 1290 19 0", std::nullopt},
        {"10 20 1290 840 2", std::nullopt},
        {"10 20 1290 840", std::nullopt},
        {"10 20 1290 840 0 0", std::nullopt},
        {"10  20 1290 840 0", std::nullopt},
        {"+10 20 1290 840 0", std::nullopt},
        {"10 20 1290 9999999 0", std::nullopt},
        {"10 20 1290 840 0\n\n", std::nullopt},
        {"- 20 1290 840 0", std::nullopt},
        {"", std::nullopt},
        {" 0", std::nullopt},
    };
    for (const auto& [text, place] : cases) EXPECT_TRUE(same(readPlace(text), place)) << text;
    const WindowPlace place{{-7, 3, 1273, 823}, true};
    EXPECT_TRUE(same(readPlace(placeText(place)), place));
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
