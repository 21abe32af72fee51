#pragma once

// The one user setting, the page address, read from config.json and written by
// "Switch Server...". The file is UTF-8 meant as JSON but is not parsed as JSON:
// each line is searched for the key text and the value is whatever stands
// between the next two quotes.

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

// Why `address` cannot become the page address, as one line for the user, or
// none when it can: an http or https address with a host, without a double quote,
// backslash or line break, which the reader above could not take back.
std::optional<std::wstring> serverUrlProblem(std::wstring_view address);

// The file `config` with `url` (UTF-8, accepted by serverUrlProblem) as its
// address, every other line kept byte for byte: the value on the last line
// holding the key and two quotes is replaced in place; without such a line, a
// line is added first in the object (with a comma when members follow), or an
// object on a line of its own at the end when the file holds none.
std::string withServerUrl(std::string_view config, std::string_view url);
