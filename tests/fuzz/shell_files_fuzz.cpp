// config.json and the window's place file are whatever is on disk. Rewrites
// arbitrary config files and checks that the reader then finds the new address
// and that every line the rewrite had no reason to touch is still there, in
// order (a last line may gain its line break); reads arbitrary place files and checks that what it
// accepts writes back to the same place.

#include "shell/placement.h"
#include "shell/settings.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (line.ends_with('\r')) line.pop_back();
        out.push_back(line);
    }
    return out;
}

void checkRewrite(const std::string& config) {
    const std::string url = "https://fuzz.example/a";
    const std::string written = withServerUrl(config, url);
    std::istringstream in(written);
    const auto read = readServerUrl(in, [](std::string_view v) {
        return std::optional<std::wstring>(std::wstring(v.begin(), v.end()));
    });
    if (read != std::wstring(url.begin(), url.end())) std::abort();
    const std::vector<std::string> after = lines(written);
    size_t at = 0;
    for (const std::string& line : lines(config)) {
        if (line.find('{') != std::string::npos || line.find("\"serverUrl\":") != std::string::npos)
            continue;
        while (at < after.size() && after[at] != line) ++at;
        if (at++ == after.size()) std::abort();
    }
}

void checkPlace(const std::string& text) {
    const auto place = readPlace(text);
    if (!place) return;
    const auto again = readPlace(placeText(*place));
    if (!again || placeText(*again) != placeText(*place)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkRewrite(text);
    checkPlace(text);
    return 0;
}
