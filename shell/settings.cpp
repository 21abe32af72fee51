#include "shell/settings.h"

#include "shell/origin.h"

namespace {
constexpr std::string_view KEY = "\"serverUrl\":";

// Where the two quotes around the value the reader takes from `line` stand.
std::optional<std::pair<size_t, size_t>> valueQuotes(std::string_view line) {
    const size_t key = line.find(KEY);
    if (key == std::string_view::npos) return std::nullopt;
    const size_t open = line.find('"', key + KEY.size());
    if (open == std::string_view::npos) return std::nullopt;
    const size_t close = line.find('"', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return std::pair{open, close};
}

bool startsWithLineBreak(std::string_view text) {
    return text.starts_with('\n') || text.starts_with("\r\n");
}
} // namespace

std::optional<std::string_view> serverUrlOnLine(std::string_view line) {
    const auto quotes = valueQuotes(line);
    if (!quotes) return std::nullopt;
    std::string_view value = line.substr(quotes->first + 1, quotes->second - quotes->first - 1);
    value = value.substr(0, value.find('\0'));
    if (value.empty()) return std::nullopt;
    return value;
}

std::optional<std::wstring> readServerUrl(std::istream& in, const Utf8ToWide& convert) {
    std::optional<std::wstring> url;
    std::string line;
    while (std::getline(in, line)) {
        if (auto value = serverUrlOnLine(line)) {
            if (auto wide = convert(*value)) url = std::move(wide);
        }
    }
    return url;
}

std::optional<std::wstring> serverUrlProblem(std::wstring_view address) {
    // The value goes into a JSON string as it is, where both would be read as
    // something else.
    for (wchar_t c : address) {
        if (c == L'"' || c == L'\\' || c <= L' ')
            return L"The address cannot hold a double quote, a backslash, a space or a line break.";
    }
    if (originOf(address).empty()) return L"Enter an http:// or https:// address with a host name.";
    return std::nullopt;
}

std::string withServerUrl(std::string_view config, std::string_view url) {
    // The reader takes the last line with a value; replacing that one in place
    // leaves no later line that could win over it.
    std::optional<std::pair<size_t, size_t>> last;
    for (size_t start = 0; start <= config.size();) {
        const size_t end = config.find('\n', start);
        if (auto quotes = valueQuotes(config.substr(start, end - start)))
            last = std::pair{start + quotes->first, start + quotes->second};
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (last) {
        return std::string(config.substr(0, last->first + 1)) + std::string(url) +
               std::string(config.substr(last->second));
    }

    const std::string eol = config.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string entry = std::string(KEY) + " \"" + std::string(url) + "\"";
    const size_t brace = config.find('{');
    if (brace == std::string_view::npos) {
        const bool ended = config.empty() || config.ends_with('\n');
        return std::string(config) + (ended ? "" : eol) + "{" + entry + "}" + eol;
    }
    const std::string_view rest = config.substr(brace + 1);
    const size_t member = rest.find_first_not_of(" \t\r\n");
    const bool members = member != std::string_view::npos && rest[member] != '}';
    // The indent of the line after the brace, when the object is written one
    // member per line.
    std::string indent = "  ";
    if (startsWithLineBreak(rest)) {
        const std::string_view next = rest.substr(rest.find('\n') + 1);
        const size_t width = next.find_first_not_of(" \t");
        if (width != 0 && width != std::string_view::npos) indent = next.substr(0, width);
    }
    return std::string(config.substr(0, brace + 1)) + eol + indent + entry + (members ? "," : "") +
           (startsWithLineBreak(rest) ? "" : eol) + std::string(rest);
}
