#include "bridge/page_requests.h"
#include "shell/deployment.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct NamedRequest {
    const wchar_t* name;
    PageRequest request;
};

// The requests in the order they must be tested, so that a text naming two of
// them is always the earlier one.
const std::vector<NamedRequest> IN_ORDER = {
    {L"startWindowDrag", PageRequest::StartWindowDrag},
    {L"windowZoom", PageRequest::WindowZoom},
    {L"windowMinimize", PageRequest::WindowMinimize},
    {L"windowClose", PageRequest::WindowClose},
    {L"scanActivity", PageRequest::ScanActivity},
    {L"appAudioStart", PageRequest::AppAudioStart},
    {L"appAudioStop", PageRequest::AppAudioStop},
    {L"setInCall", PageRequest::SetInCall},
    {L"updateState", PageRequest::UpdateState},
    {L"updateInstall", PageRequest::UpdateInstall},
    {L"updateDownload", PageRequest::UpdateDownload},
    {L"setPushToTalkKey", PageRequest::SetPushToTalkKey},
    {L"setAppBadge", PageRequest::SetAppBadge},
    {L"clearAppBadge", PageRequest::ClearAppBadge},
};

std::wstring typed(const std::wstring& name) {
    return L"{\"type\":\"" + name + L"\"}";
}

TEST(PageRequests, EachRequestIsRecognisedInItsObjectForm) {
    for (const NamedRequest& entry : IN_ORDER) {
        SCOPED_TRACE(testing::Message() << entry.name);
        EXPECT_EQ(recognizeRequest(typed(entry.name)), entry.request);
        EXPECT_EQ(recognizeRequest(L"\"" + std::wstring(entry.name) + L"\""), entry.request);
    }
}

TEST(PageRequests, TheEarlierRequestWinsWhereverEitherNameStands) {
    for (std::size_t first = 0; first < IN_ORDER.size(); ++first) {
        for (std::size_t later = first + 1; later < IN_ORDER.size(); ++later) {
            const std::wstring a = IN_ORDER[first].name;
            const std::wstring b = IN_ORDER[later].name;
            const PageRequest want = IN_ORDER[first].request;
            EXPECT_EQ(recognizeRequest(L"{\"type\":\"" + b + L"\",\"note\":\"" + a + L"\"}"), want);
            EXPECT_EQ(recognizeRequest(L"{\"type\":\"" + a + L"\",\"note\":\"" + b + L"\"}"), want);
            EXPECT_EQ(recognizeRequest(L"{\"type\":\"" + b + L"\",\"" + a + L"\":1}"), want);
        }
    }
}

TEST(PageRequests, OnlyTheExactQuotedNameCounts) {
    struct Case {
        const wchar_t* text;
        PageRequest want;
    };
    const Case cases[] = {
        {L"", PageRequest::None},
        {L"{}", PageRequest::None},
        {L"null", PageRequest::None},
        {L"{\"type\":\"WindowClose\"}", PageRequest::None},
        {L"{\"type\":\"windowclose\"}", PageRequest::None},
        {L"\"{\\\"type\\\":\\\"windowClose\\\"}\"", PageRequest::None},
        {L"{\"type\":\"windowCloseNow\"}", PageRequest::None},
        {L"{\"type\":\"xwindowClose\"}", PageRequest::None},
        {L"{\"type\": windowClose}", PageRequest::None},
        {L"{\"type\":\"windowClose \"}", PageRequest::None},
        {L"{\"type\":\"setInCall\",\"note\":\"windowClose\"}", PageRequest::WindowClose},
        {L"[1,{\"deep\":[\"appAudioStop\"]}]", PageRequest::AppAudioStop},
        {L"{\"windowZoom\":false}", PageRequest::WindowZoom},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(recognizeRequest(c.text), c.want);
    }
}

TEST(PageRequests, IntegerFieldsReadLikeAtoiAndSaturate) {
    struct Case {
        const wchar_t* text;
        const wchar_t* name;
        int want;
    };
    const Case cases[] = {
        {L"{\"type\":\"scanActivity\",\"callbackId\":7}", L"callbackId", 7},
        {L"{\"type\":\"scanActivity\",\"callbackId\":-3}", L"callbackId", -3},
        {L"{\"type\":\"scanActivity\"}", L"callbackId", 0},
        {L"{\"type\":\"appAudioStart\",\"id\":4,\"windowId\":\"12ab\"}", L"id", 4},
        {L"{\"id\":\"3\"}", L"id", 0},
        {L"{\"id\":+5}", L"id", 5},
        {L"{\"id\": \t\r\n\v\f42}", L"id", 42},
        {L"{\"id\":12ab}", L"id", 12},
        {L"{\"id\":1.9}", L"id", 1},
        {L"{\"id\":1e3}", L"id", 1},
        {L"{\"id\":-}", L"id", 0},
        {L"{\"id\":+-1}", L"id", 0},
        {L"{\"id\":true}", L"id", 0},
        {L"{\"id\":", L"id", 0},
        {L"{\"id\":2147483647}", L"id", INT_MAX},
        {L"{\"id\":2147483648}", L"id", INT_MAX},
        {L"{\"id\":-2147483648}", L"id", INT_MIN},
        {L"{\"id\":-2147483649}", L"id", INT_MIN},
        {L"{\"id\":18446744073709551617}", L"id", INT_MAX},
        {L"{\"id\":-99999999999999999999999999999}", L"id", INT_MIN},
        {L"{\"id\":000000000000000000000000000000012}", L"id", 12},
        {L"{\"id\":-00000000000000000000000000000001}", L"id", -1},
        // The first occurrence counts, wherever the request name stands.
        {L"{\"id\":1,\"id\":2}", L"id", 1},
        {L"{\"id\":9,\"type\":\"appAudioStart\"}", L"id", 9},
        {L"{\"a\":{\"id\":6}}", L"id", 6},
        // Names must match whole and in case.
        {L"{\"windowId\":7}", L"id", 0},
        {L"{\"xid\":7}", L"id", 0},
        {L"{\"ID\":7}", L"id", 0},
        {L"{\"note\":\"\\\"id\\\":7\"}", L"id", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(readIntegerField(c.text, c.name), c.want);
    }
}

TEST(PageRequests, AnyLengthOfDigitsSaturates) {
    EXPECT_EQ(readIntegerField(L"{\"id\":" + std::wstring(100000, L'9') + L"}", L"id"), INT_MAX);
    EXPECT_EQ(readIntegerField(L"{\"id\":-" + std::wstring(100000, L'7') + L"}", L"id"), INT_MIN);
}

TEST(PageRequests, DigitFieldsTakeTheLeadingAsciiDigits) {
    struct Case {
        std::wstring text;
        std::wstring want;
    };
    const Case cases[] = {
        {L"{\"type\":\"appAudioStart\",\"id\":1,\"windowId\":\"132004\"}", L"132004"},
        {L"{\"windowId\":\"12ab\"}", L"12"},
        {L"{\"windowId\":\"abc\"}", L""},
        {L"{\"windowId\":\"\"}", L""},
        {L"{\"type\":\"appAudioStart\",\"id\":1}", L""},
        {L"{\"windowId\":12}", L""},
        {L"{\"windowId\": \"12\"}", L""},
        {L"{\"windowId\":\" 12\"}", L""},
        {L"{\"windowId\":\"-12\"}", L""},
        {L"{\"windowId\":\"12", L"12"},
        {L"{\"windowId\":\"1\",\"windowId\":\"2\"}", L"1"},
        {L"{\"WindowId\":\"5\"}", L""},
        {L"{\"windowId\":\"" + std::wstring(5000, L'8') + L"\"}", std::wstring(5000, L'8')},
        // Digits of other scripts would not survive the trip to the capture
        // helper's command line as a window handle, so they end the value.
        {L"{\"windowId\":\"12\u0663\"}", L"12"},
        {L"{\"windowId\":\"\u0661\u0662\"}", L""},
        {L"{\"windowId\":\"\u06F1\"}", L""},
        {L"{\"windowId\":\"\u0967\"}", L""},
        {L"{\"windowId\":\"\uFF11\uFF12\"}", L""},
        {L"{\"windowId\":\"3\u00B2\"}", L"3"},
        {L"{\"windowId\":\"\u00B9\"}", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(readDigitField(c.text, L"windowId"), c.want);
    }
}

TEST(PageRequests, InCallNeedsTheExactTrueSpelling) {
    struct Case {
        const wchar_t* text;
        bool want;
    };
    const Case cases[] = {
        {L"{\"type\":\"setInCall\",\"inCall\":true}", true},
        {L"{\"type\":\"setInCall\",\"inCall\":false}", false},
        {L"{\"type\":\"setInCall\"}", false},
        {L"{\"type\":\"setInCall\",\"inCall\": true}", false},
        {L"{\"type\":\"setInCall\",\"inCall\":\"true\"}", false},
        {L"{\"type\":\"setInCall\",\"inCall\":True}", false},
        {L"{\"type\":\"setInCall\",\"incall\":true}", false},
        {L"{\"type\":\"setInCall\",\"inCall\":1}", false},
        {L"{\"a\":{\"inCall\":true},\"type\":\"setInCall\"}", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(readInCall(c.text), c.want);
    }
}

TEST(PageRequests, BadgeCountsAreWholeNumbersUpToFourDigits) {
    const std::pair<const wchar_t*, std::optional<int>> cases[] = {
        {L"{\"type\":\"setAppBadge\",\"count\":0}", 0},
        {L"{\"type\":\"setAppBadge\",\"count\":3}", 3},
        {L"{\"count\":9999,\"type\":\"setAppBadge\"}", 9999},
        {L"{\"type\":\"setAppBadge\",\"count\":10000}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":-1}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":2.5}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":1e+21}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":\"3\"}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":null}", std::nullopt},
        {L"{\"type\":\"setAppBadge\",\"count\":3", std::nullopt},
        {L"{\"type\":\"setAppBadge\"}", std::nullopt},
    };
    for (const auto& [text, count] : cases) EXPECT_EQ(readBadgeCount(text), count) << text;
}

TEST(PageRequests, HostileTextsFindNothing) {
    const std::wstring quotes(1 << 20, L'"');
    EXPECT_EQ(recognizeRequest(quotes), PageRequest::None);
    EXPECT_EQ(readIntegerField(quotes, L"id"), 0);
    EXPECT_EQ(readDigitField(quotes, L"windowId"), L"");
    EXPECT_FALSE(readInCall(quotes));

    EXPECT_EQ(recognizeRequest(quotes + L"\"appAudioStop\""), PageRequest::AppAudioStop);

    std::wstring keys;
    for (int i = 0; i < 100000; ++i) keys += L"\"id\":\"windowId\":\"";
    EXPECT_EQ(readIntegerField(keys, L"id"), 0);
    EXPECT_EQ(readDigitField(keys, L"windowId"), L"");
}

TEST(PageRequests, DownloadPageIsBelowTheServiceOrigin) {
    EXPECT_EQ(downloadPageAddress(), std::wstring(SERVICE_ORIGIN) + L"/download/windows-native");
}

} // namespace
