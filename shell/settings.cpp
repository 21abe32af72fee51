#include "shell/settings.h"

namespace {
constexpr std::string_view KEY = "\"serverUrl\":";
}

std::optional<std::string_view> serverUrlOnLine(std::string_view line) {
    const size_t key = line.find(KEY);
    if (key == std::string_view::npos) return std::nullopt;
    const size_t open = line.find('"', key + KEY.size());
    if (open == std::string_view::npos) return std::nullopt;
    const size_t close = line.find('"', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view value = line.substr(open + 1, close - open - 1);
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
