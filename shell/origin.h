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
// window.open) for `address`. Other sites open in the user's own browser and
// mail in the user's mail program, where the page's bridge does not follow;
// the page's and the service's own windows stay with the runtime; every other
// scheme (javascript:, file:, data:, unknown) opens nothing.
enum class NewWindow { Runtime, OpenOutside, Refuse };

NewWindow newWindowFor(std::wstring_view address, std::wstring_view page,
                       std::wstring_view service);
