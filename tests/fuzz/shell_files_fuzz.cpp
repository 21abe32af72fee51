// config.json and the window's place file are whatever is on disk. A rewritten
// config file must give the reader the new address and keep, in order, every
// line the rewrite had no reason to touch (a last line may gain its line
// break); a place file that is accepted must write back to the same place.

#include "desktop/placement.h"
#include "shell/settings.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line); out.push_back(line))
        while (line.ends_with('\r')) line.pop_back();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string written = withServerUrl(text, "https://fuzz.example/a");
    std::istringstream in(written);
    const auto ascii = [](std::string_view v) { return std::wstring(v.begin(), v.end()); };
    if (readServerUrl(in, ascii) != L"https://fuzz.example/a") std::abort();
    const std::vector<std::string> after = lines(written);
    size_t at = 0;
    for (const std::string& line : lines(text)) {
        if (line.find('{') != std::string::npos || line.find("\"serverUrl\":") != std::string::npos)
            continue;
        while (at < after.size() && after[at] != line) ++at;
        if (at++ == after.size()) std::abort();
    }
    if (const auto place = readPlace(text)) {
        const auto again = readPlace(placeText(*place));
        if (!again || placeText(*again) != placeText(*place)) std::abort();
    }
    return 0;
}
