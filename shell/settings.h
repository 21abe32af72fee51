#pragma once

// The one user setting, the page address, read from config.json. The file is
// UTF-8 meant as JSON but is not parsed as JSON: each line is searched for the
// key text and the value is whatever stands between the next two quotes.

#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

// The value on one line (without its line feed), as UTF-8 bytes, or none when the
// line holds no key followed by two quotes, or the value is empty. The value ends
// at a NUL byte, as the platform's conversion of a terminated string would.
std::optional<std::string_view> serverUrlOnLine(std::string_view line);

// Converts one value to UTF-16; none when it yields no characters.
using Utf8ToWide = std::function<std::optional<std::wstring>(std::string_view)>;

// Reads the stream line by line until its end or a read error; the last line whose
// value converts wins. None when no line does.
std::optional<std::wstring> readServerUrl(std::istream& in, const Utf8ToWide& convert);
