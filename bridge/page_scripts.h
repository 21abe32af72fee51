#pragma once

#include <string>
#include <string_view>

// Script texts the shell gives the page. Every script calls a page function
// only after checking that it exists, so sending one early does no harm.

inline constexpr wchar_t MUTE_SCRIPT[] =
    L"if (window.__tolvinToggleMute) window.__tolvinToggleMute();";
inline constexpr wchar_t DEAFEN_SCRIPT[] =
    L"if (window.__tolvinToggleDeafen) window.__tolvinToggleDeafen();";

// The answer to an activity scan: calls the page's reply function with the
// request's callback id in signed decimal and `result` as it is.
std::wstring nativeReplyScript(int callbackId, std::wstring_view result);

// The bridge script with its availability flag set: the helper placeholder's
// first occurrence becomes `true` or `false`.
std::wstring bridgeScript(bool haveHelper);

// The substitution behind bridgeScript, for any script text; a text without the
// placeholder comes back unchanged.
std::wstring substituteHelperFlag(std::wstring_view script, bool haveHelper);
