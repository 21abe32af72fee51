#include "update/update_flow.h"

#include <algorithm>

namespace {

constexpr bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// From the end, so that a long output costs one pass over its last lines.
std::string_view resultLine(std::string_view output) {
    for (std::size_t end = output.size();;) {
        const std::size_t feed = end == 0 ? std::string_view::npos : output.rfind('\n', end - 1);
        const std::size_t begin = feed == std::string_view::npos ? 0 : feed + 1;
        std::string_view line = output.substr(begin, end - begin);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
        if (!line.empty() || feed == std::string_view::npos) return line;
        end = feed;
    }
}

std::string_view nextWord(std::string_view& text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    std::size_t length = 0;
    while (length < text.size() && !isSpace(text[length])) ++length;
    const std::string_view word = text.substr(0, length);
    text.remove_prefix(length);
    return word;
}

std::wstring widen(std::string_view bytes) {
    std::wstring text;
    for (char c : bytes) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return text;
}

} // namespace

UpdateOutput readUpdateOutput(std::string_view output) {
    std::string_view line = resultLine(output);
    UpdateOutput result;
    result.word = nextWord(line);
    result.version = nextWord(line);
    const bool digitsAndDots =
        std::all_of(result.version.begin(), result.version.end(),
                    [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
    if (!digitsAndDots) result.version.clear();
    return result;
}

std::string readyVersion(std::string_view output) {
    UpdateOutput result = readUpdateOutput(output);
    return result.word == "ready" ? std::move(result.version) : std::string();
}

UpdateState nextUpdateState(const UpdateState& before, bool ranOk, std::string_view output) {
    UpdateState next = before;
    const bool known = before.status == L"ready" || before.status == L"manual";
    if (!ranOk) {
        if (!known) next.status = L"error";
        return next;
    }
    const UpdateOutput result = readUpdateOutput(output);
    if ((result.word == "ready" || result.word == "manual") && !result.version.empty()) {
        next.status = widen(result.word);
        next.detail = widen(result.version);
    } else if (before.status != L"ready") {
        next.status = L"idle";
    }
    return next;
}

UpdateState refusedUpdateState(const UpdateState& before) {
    return {L"error", before.detail};
}

std::wstring updatePushScript(const UpdateState& state) {
    std::wstring script = L"if (window.__tolvinUpdate) window.__tolvinUpdate({\"status\":\"";
    script += state.status;
    script += L'"';
    if (!state.detail.empty()) {
        script += L",\"version\":\"";
        script += state.detail;
        script += L'"';
    }
    script += L"});";
    return script;
}

bool installsAutomatically(const UpdateState& state, bool inCall, unsigned long long msSinceStart) {
    return state.status == L"ready" && !inCall && msSinceStart <= AUTO_INSTALL_WINDOW_MS;
}
