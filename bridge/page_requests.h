#pragma once

#include <optional>
#include <string>
#include <string_view>

// Reading the messages the page posts. The web view hands each one over as its
// JSON serialisation; nothing here parses JSON. Requests and fields are found by
// plain search for their serialised form, so an escaped or differently spelt
// name is simply not there. Everything works on the caller's text and keeps no
// reference to it.

// The requests the page can make, in the order they are looked for.
enum class PageRequest {
    None,
    StartWindowDrag,
    WindowZoom,
    WindowMinimize,
    WindowClose,
    ScanActivity,
    AppAudioStart,
    AppAudioStop,
    SetInCall,
    UpdateState,
    UpdateInstall,
    UpdateDownload,
    SetPushToTalkKey,
    SetAppBadge,
    ClearAppBadge,
};

// The first request, in the order above, whose quoted name occurs anywhere in
// the text (as a value, a key or a bare string); None when no name occurs.
PageRequest recognizeRequest(std::wstring_view text);

// The integer after the first `"name":`, read like the C library's atoi: leading
// white space, an optional sign, decimal digits up to the first other character.
// Values beyond 32 bits saturate at INT32_MIN or INT32_MAX. A missing field, a
// quoted number or no digits give 0.
int readIntegerField(std::wstring_view text, std::wstring_view name);

// The run of ASCII digits right after the first `"name":"`; empty when the field
// is missing or its value does not start with a digit.
std::wstring readDigitField(std::wstring_view text, std::wstring_view name);

// The unread count of a setAppBadge request: the whole number 0 to 9999 right
// after `"count":`, ended by `,` or `}` as the page's serialisation ends it;
// none for anything else (a sign, a fraction, an exponent, a string, more
// digits), which is dropped as a malformed request is.
std::optional<int> readBadgeCount(std::wstring_view text);

// True exactly when the text contains `"inCall":true`.
bool readInCall(std::wstring_view text);

// The service's Windows download page, opened in the default browser.
std::wstring downloadPageAddress();
