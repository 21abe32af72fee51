#include <gtest/gtest.h>

#include "notify/notify.h"
#include "shell/origin.h"

namespace {

TEST(Permissions, TrustedOriginsGetCallAndChatKindsOthersNothing) {
    const wchar_t page[] = L"https://chat.example.com/app";
    const wchar_t service[] = L"https://example.com";
    constexpr auto A = PermissionAnswer::Allow, D = PermissionAnswer::Deny,
                   U = PermissionAnswer::AskUser;
    constexpr int GEOLOCATION = 3, OTHER_SENSORS = 5, MIDI = 11;
    const int kinds[] = {PERMISSION_MICROPHONE,
                         PERMISSION_CAMERA,
                         PERMISSION_NOTIFICATIONS,
                         PERMISSION_CLIPBOARD_READ,
                         GEOLOCATION,
                         OTHER_SENSORS,
                         MIDI};
    const struct {
        const wchar_t* origin;
        PermissionAnswer answers[7];
    } cases[] = {
        {L"https://chat.example.com", {A, A, A, A, U, U, U}},
        {L"https://example.com/", {A, A, A, A, U, U, U}},
        {L"https://CHAT.example.com:443/", {A, A, A, A, U, U, U}},
        {L"https://chat.example.com.evil.test", {D, D, D, D, D, D, D}},
        {L"https://chat.example.com:8443", {D, D, D, D, D, D, D}},
        {L"http://chat.example.com", {D, D, D, D, D, D, D}},
        {L"https://widget.example.net", {D, D, D, D, D, D, D}},
        {L"", {D, D, D, D, D, D, D}},
    };
    for (const auto& c : cases)
        for (size_t k = 0; k < std::size(kinds); ++k)
            EXPECT_EQ(permissionFor(trustedSource(c.origin, page, service), kinds[k]), c.answers[k])
                << std::wstring(c.origin).size() << " kind " << kinds[k];
}

TEST(Badge, ShowsTheCountUpToNineThenNinePlus) {
    const std::pair<int, const wchar_t*> cases[] = {
        {0, L""}, {-3, L""}, {1, L"1"}, {9, L"9"}, {10, L"9+"}, {9999, L"9+"},
    };
    for (const auto& [count, text] : cases) EXPECT_EQ(badgeText(count), text) << count;
    EXPECT_EQ(trayTip(0), L"Tolvin");
    EXPECT_EQ(trayTip(12), L"Tolvin \u2013 12 unread");
}

TEST(Balloon, TextIsCutToWhatWindowsTakesNeverInsideAPair) {
    const std::wstring pair = L"\xD83D\xDE00";
    const struct {
        std::wstring text;
        size_t max;
        std::wstring cut;
    } cases[] = {
        {L"New message", BALLOON_TITLE_MAX, L"New message"},
        {std::wstring(70, L'a'), BALLOON_TITLE_MAX, std::wstring(63, L'a')},
        {std::wstring(300, L'b'), BALLOON_TEXT_MAX, std::wstring(255, L'b')},
        {std::wstring(62, L'c') + pair, BALLOON_TITLE_MAX, std::wstring(62, L'c')},
        {std::wstring(61, L'c') + pair, BALLOON_TITLE_MAX, std::wstring(61, L'c') + pair},
        {L"<b>&amp;</b>", BALLOON_TEXT_MAX, L"<b>&amp;</b>"},
    };
    for (const auto& c : cases) EXPECT_EQ(balloonText(c.text, c.max), c.cut) << c.text.size();
}

} // namespace
