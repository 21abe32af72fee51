#include "bridge/page_scripts.h"

#include "BRIDGE_SCRIPT.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::size_t count(std::wstring_view text, std::wstring_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::wstring_view::npos;
         at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

TEST(PageScripts, OnlyTheFirstPlaceholderIsReplaced) {
    struct Case {
        const wchar_t* script;
        bool haveHelper;
        const wchar_t* want;
    };
    const Case cases[] = {
        {L"x = __HAVE_HELPER__;", true, L"x = true;"},
        {L"x = __HAVE_HELPER__;", false, L"x = false;"},
        {L"__HAVE_HELPER__ || __HAVE_HELPER__", true, L"true || __HAVE_HELPER__"},
        {L"no flag here", true, L"no flag here"},
        {L"__HAVE_HELPER_", false, L"__HAVE_HELPER_"},
        {L"", true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(substituteHelperFlag(c.script, c.haveHelper), c.want);
    }
}

TEST(PageScripts, TheBridgeScriptCarriesOneAvailabilityFlag) {
    ASSERT_EQ(count(BRIDGE_SCRIPT, L"__HAVE_HELPER__"), 1u);
    for (bool haveHelper : {true, false}) {
        const std::wstring script = bridgeScript(haveHelper);
        const std::wstring flag = haveHelper ? L"true" : L"false";
        EXPECT_EQ(count(script, L"__HAVE_HELPER__"), 0u);
        EXPECT_EQ(script, substituteHelperFlag(BRIDGE_SCRIPT, haveHelper));
        EXPECT_EQ(script.size() + 15, std::wstring_view(BRIDGE_SCRIPT).size() + flag.size());
    }
}

} // namespace
