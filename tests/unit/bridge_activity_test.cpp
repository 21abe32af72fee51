#include "bridge/activity.h"
#include "bridge/page_scripts.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

TEST(Activity, EveryKnownExecutableNamesItsProgram) {
    struct Case {
        const wchar_t* exe;
        const wchar_t* name;
    };
    const Case known[] = {
        {L"valorant.exe", L"VALORANT"},
        {L"leagueclient.exe", L"League of Legends"},
        {L"cs2.exe", L"Counter-Strike 2"},
        {L"dota2.exe", L"Dota 2"},
        {L"overwatch.exe", L"Overwatch 2"},
        {L"r5apex.exe", L"Apex Legends"},
        {L"fortniteclient-win64-shipping.exe", L"Fortnite"},
        {L"minecraft.exe", L"Minecraft"},
        {L"javaw.exe", L"Minecraft"},
        {L"robloxplayerbeta.exe", L"Roblox"},
        {L"rocketleague.exe", L"Rocket League"},
        {L"gta5.exe", L"Grand Theft Auto V"},
        {L"eldenring.exe", L"ELDEN RING"},
        {L"cyberpunk2077.exe", L"Cyberpunk 2077"},
        {L"baldursgate3.exe", L"Baldur's Gate 3"},
        {L"bg3.exe", L"Baldur's Gate 3"},
        {L"spotify.exe", L"Spotify"},
        {L"code.exe", L"Visual Studio Code"},
        {L"devenv.exe", L"Visual Studio"},
    };
    static_assert(std::size(known) == ACTIVITY_ROWS);
    for (const Case& c : known) {
        SCOPED_TRACE(testing::Message() << c.exe);
        const wchar_t* found = matchActivity(c.exe);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(std::wstring(found), c.name);
    }
}

TEST(Activity, NamesMatchWholeIgnoringAsciiCase) {
    struct Case {
        std::wstring exe;
        const wchar_t* name; // nullptr: no match
    };
    const Case cases[] = {
        {L"VALORANT.exe", L"VALORANT"},
        {L"JavaW.EXE", L"Minecraft"},
        {L"BG3.exe", L"Baldur's Gate 3"},
        {L"FortniteClient-Win64-Shipping.exe", L"Fortnite"},
        {L"valorant", nullptr},
        {L"valorant.exe.old", nullptr},
        {L"myvalorant.exe", nullptr},
        {L"valorant.ex", nullptr},
        {L" valorant.exe", nullptr},
        {L"C:\\Riot\\valorant.exe", nullptr},
        {L"", nullptr},
        {L"tolvin.exe", nullptr},
        {std::wstring(L"valorant.exe\0", 13), nullptr},
        // Only A to Z change case: letters that lower to ASCII under some
        // locale (Kelvin sign, dotted capital I) are other characters here.
        {L"roc\u212Aetleague.exe", nullptr},
        {L"m\u0130necraft.exe", nullptr},
        {L"\uFF56alorant.exe", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const wchar_t* found = matchActivity(c.exe);
        if (c.name == nullptr) {
            EXPECT_EQ(found, nullptr);
        } else {
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(std::wstring(found), c.name);
        }
    }
}

TEST(Activity, TheReplyCarriesTheResultUnescaped) {
    struct Case {
        int callbackId;
        const wchar_t* exe;
        const wchar_t* script;
    };
    const Case cases[] = {
        {7, L"notepad.exe",
         L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(7, null);"},
        {-3, L"VALORANT.exe",
         L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(-3, "
         L"{\"name\":\"VALORANT\",\"type\":\"playing\"});"},
        {0, L"bg3.exe",
         L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(0, "
         L"{\"name\":\"Baldur's Gate 3\",\"type\":\"playing\"});"},
        {INT_MIN, L"rocketleague.exe",
         L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(-2147483648, "
         L"{\"name\":\"Rocket League\",\"type\":\"playing\"});"},
        {INT_MAX, L"",
         L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(2147483647, null);"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(nativeReplyScript(c.callbackId, activityResult(matchActivity(c.exe))), c.script);
    }
}

TEST(Activity, DisplayNamesNeedNoEscaping) {
    for (const ActivityRow& row : ACTIVITY_TABLE) {
        for (const wchar_t* c = row.displayName; *c != 0; ++c) {
            EXPECT_TRUE(*c >= 0x20 && *c < 0x7F && *c != L'"' && *c != L'\\') << row.exeName;
        }
    }
}

} // namespace
