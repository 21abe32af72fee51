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
