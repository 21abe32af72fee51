#pragma once

// Which pages may use the native surface: a page request counts only when the
// document that sent it shares the origin (scheme, host, port) of the page the
// shell opened or of the service itself.

#include <string>
#include <string_view>

// The origin of an http or https address as "scheme://host:port", with scheme and
// host in lower case and the scheme's default port written out; empty for any
// other address (about:blank, data:, file:, a malformed text), whose origin is
// opaque and matches nothing.
std::wstring originOf(std::wstring_view address);

// Whether a message from `source` may reach the dispatcher: its origin is that of
// `page` or of `service`.
bool trustedSource(std::wstring_view source, std::wstring_view page, std::wstring_view service);

// What becomes of a page's request for a new window (a target=_blank link,
// window.open). Other sites open in the user's own browser and mail in the
// user's mail program, where the page's bridge does not follow, and only when
// the user asked: a script, or an advertisement's frame, could otherwise open
// one tab after another. The page's and the service's own windows stay with the
// runtime, and so do the empty ones the page fills itself: a blob: address of
// the page's own origin, and about:blank that the user opened from a frame of
// those origins. Every other scheme (javascript:, file:, data:, unknown) opens
// nothing.
enum class NewWindow { Runtime, OpenOutside, Refuse };

struct NewWindowRequest {
    std::wstring_view address;
    bool userInitiated;
    // The document of the frame that asked (the web view's own when the runtime
    // cannot say).
    std::wstring_view sourceFrame;
};

NewWindow newWindowFor(const NewWindowRequest& request, std::wstring_view page,
                       std::wstring_view service);
