// Page messages are untrusted text. Feeds arbitrary UTF-16 to the request
// reader and checks its answers against slower, independent readings.

#include "bridge/page_requests.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const wchar_t* const QUOTED_NAMES[] = {
    L"\"startWindowDrag\"", L"\"windowZoom\"",    L"\"windowMinimize\"", L"\"windowClose\"",
    L"\"scanActivity\"",    L"\"appAudioStart\"", L"\"appAudioStop\"",   L"\"setInCall\"",
    L"\"updateState\"",     L"\"updateInstall\"", L"\"updateDownload\"", L"\"setPushToTalkKey\"",
};

// strtoll does the atoi reading here; narrowing maps every other unit to a
// character that is neither a digit nor white space.
int referenceInteger(const std::wstring& text, const std::wstring& key) {
    const std::size_t at = text.find(key);
    if (at == std::wstring::npos) return 0;
    std::string narrow;
    for (std::size_t i = at + key.size(); i < text.size(); ++i) {
        const wchar_t c = text[i];
        narrow += (c > 0 && c < 0x80) ? static_cast<char>(c) : '#';
    }
    errno = 0;
    const long long value = std::strtoll(narrow.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    }

    const PageRequest request = recognizeRequest(text);
    const int index = static_cast<int>(request) - 1;
    for (int i = 0; i < 12; ++i) {
        const bool present = text.find(QUOTED_NAMES[i]) != std::wstring::npos;
        if (i < index && present) __builtin_trap();
        if (i == index && !present) __builtin_trap();
        if (index < 0 && present) __builtin_trap();
    }

    if (readIntegerField(text, L"id") != referenceInteger(text, L"\"id\":")) __builtin_trap();
    if (readIntegerField(text, L"callbackId") != referenceInteger(text, L"\"callbackId\":")) {
        __builtin_trap();
    }

    const std::wstring windowId = readDigitField(text, L"windowId");
    const std::wstring key = L"\"windowId\":\"";
    const std::size_t at = text.find(key);
    if (at == std::wstring::npos && !windowId.empty()) __builtin_trap();
    if (at != std::wstring::npos) {
        const std::size_t start = at + key.size();
        if (text.compare(start, windowId.size(), windowId) != 0) __builtin_trap();
        for (wchar_t c : windowId) {
            if (c < L'0' || c > L'9') __builtin_trap();
        }
        const std::size_t after = start + windowId.size();
        if (after < text.size() && text[after] >= L'0' && text[after] <= L'9') __builtin_trap();
    }

    if (readInCall(text) != (text.find(L"\"inCall\":true") != std::wstring::npos)) {
        __builtin_trap();
    }
    return 0;
}
