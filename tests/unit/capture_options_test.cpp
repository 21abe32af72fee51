#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "capture/options.h"

namespace {

// Live windows of the test world and the processes that own them.
const std::map<uint64_t, uint32_t> WINDOWS = {{1001, 500}, {1002, 600}};

uint32_t ownerOf(uint64_t handle) {
    const auto found = WINDOWS.find(handle);
    return found == WINDOWS.end() ? 0 : found->second;
}

struct OptionsCase {
    const char* behaviour;
    std::vector<std::wstring> args;
    bool usage;
    bool allExcept;
    uint32_t otherPid;
    uint32_t targetPid;
};

const OptionsCase CASES[] = {
    {"no arguments", {}, true, false, 0, 0},
    {"window alone", {L"--window"}, true, false, 0, 0},
    {"window that does not exist", {L"--window", L"12345"}, true, false, 0, 0},
    {"self alone names no target", {L"--self", L"5"}, true, false, 5, 0},
    {"window with self", {L"--window", L"1001", L"--self", L"42"}, false, false, 42, 500},
    {"all-except zero", {L"--all-except", L"0"}, false, true, 0, 0},
    {"both modes give all-except",
     {L"--window", L"1001", L"--all-except", L"7"},
     false,
     true,
     7,
     500},
    {"later self wins over all-except value",
     {L"--all-except", L"7", L"--self", L"9"},
     false,
     true,
     9,
     0},
    {"later window wins", {L"--window", L"1001", L"--window", L"1002"}, false, false, 0, 600},
    {"later dead window clears target",
     {L"--window", L"1001", L"--window", L"3"},
     true,
     false,
     0,
     0},
    {"value stops at non-digit", {L"--all-except", L"12ab34"}, false, true, 12, 0},
    {"value without digits is zero",
     {L"--self", L"abc", L"--window", L"1001"},
     false,
     false,
     0,
     500},
    {"sign is not a digit", {L"--all-except", L"+5"}, false, true, 0, 0},
    {"a value is compared as an option too", {L"--self", L"--all-except", L"3"}, false, true, 3, 0},
    {"last argument is never an option",
     {L"--window", L"1001", L"--all-except"},
     false,
     false,
     0,
     500},
    {"options are case-sensitive", {L"--ALL-EXCEPT", L"5"}, true, false, 0, 0},
    {"unknown options are ignored", {L"--verbose", L"--window", L"1002"}, false, false, 0, 600},
    {"overlong pid saturates instead of wrapping",
     {L"--all-except", L"4294967297"},
     false,
     true,
     4294967295u,
     0},
};

TEST(CaptureOptions, CommandLines) {
    for (const OptionsCase& c : CASES) {
        const HelperOptions options = parseHelperOptions(c.args, ownerOf);
        EXPECT_EQ(!namesTarget(options), c.usage) << c.behaviour;
        EXPECT_EQ(options.allExcept, c.allExcept) << c.behaviour;
        EXPECT_EQ(options.otherPid, c.otherPid) << c.behaviour;
        EXPECT_EQ(options.targetPid, c.targetPid) << c.behaviour;
    }
}

TEST(CaptureOptions, WindowHandleIsReadAsUnsigned64Bit) {
    std::vector<uint64_t> asked;
    const auto record = [&](uint64_t handle) {
        asked.push_back(handle);
        return 0u;
    };
    parseHelperOptions({L"--window", L"18446744073709551615", L"--window",
                        L"99999999999999999999999", L"--window", L"00042x", L"--window",
                        L"18446744073709551610", L"--window", L"18446744073709551614", L"--window",
                        L"18446744073709551616"},
                       record);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(asked, (std::vector<uint64_t>{max, max, 42, max - 5, max - 1, max}));
}

TEST(CaptureOptions, DecimalValuesAtTheBounds) {
    const uint64_t max32 = std::numeric_limits<uint32_t>::max();
    const struct {
        const wchar_t* text;
        uint64_t expected;
    } cases[] = {
        {L"", 0},
        {L"0", 0},
        {L"4294967290", max32 - 5},
        {L"4294967291", max32 - 4},
        {L"4294967292", max32 - 3},
        {L"4294967293", max32 - 2},
        {L"4294967294", max32 - 1},
        {L"4294967295", max32},
        {L"4294967296", max32},
        {L"4294967299", max32},
        {L"42949672950", max32},
        {L"429496729x9", 429496729},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readDecimal(c.text, max32), c.expected)
            << std::string(c.text, c.text + wcslen(c.text));
    }
}

} // namespace
