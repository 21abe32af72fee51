#include "bridge/page_scripts.h"

#include "BRIDGE_SCRIPT.h"

std::wstring nativeReplyScript(int callbackId, std::wstring_view result) {
    std::wstring script = L"if (window.__tolvinNativeReply) window.__tolvinNativeReply(";
    script += std::to_wstring(callbackId);
    script += L", ";
    script += result;
    script += L");";
    return script;
}

std::wstring bridgeScript(bool haveHelper) {
    return substituteHelperFlag(BRIDGE_SCRIPT, haveHelper);
}

std::wstring substituteHelperFlag(std::wstring_view script, bool haveHelper) {
    constexpr std::wstring_view PLACEHOLDER = L"__HAVE_HELPER__";
    std::wstring text(script);
    const std::size_t at = text.find(PLACEHOLDER);
    if (at != std::wstring::npos)
        text.replace(at, PLACEHOLDER.size(), haveHelper ? L"true" : L"false");
    return text;
}
