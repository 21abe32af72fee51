#include "bridge/page_requests.h"

#include "shell/deployment.h"

#include <cstdint>
#include <limits>

namespace {

struct RequestName {
    std::wstring_view quoted;
    PageRequest request;
};

// Order matters: a text naming several requests is the first one listed here.
constexpr RequestName REQUEST_NAMES[] = {
    {L"\"startWindowDrag\"", PageRequest::StartWindowDrag},
    {L"\"windowZoom\"", PageRequest::WindowZoom},
    {L"\"windowMinimize\"", PageRequest::WindowMinimize},
    {L"\"windowClose\"", PageRequest::WindowClose},
    {L"\"scanActivity\"", PageRequest::ScanActivity},
    {L"\"appAudioStart\"", PageRequest::AppAudioStart},
    {L"\"appAudioStop\"", PageRequest::AppAudioStop},
    {L"\"setInCall\"", PageRequest::SetInCall},
    {L"\"updateState\"", PageRequest::UpdateState},
    {L"\"updateInstall\"", PageRequest::UpdateInstall},
    {L"\"updateDownload\"", PageRequest::UpdateDownload},
    {L"\"setPushToTalkKey\"", PageRequest::SetPushToTalkKey},
    {L"\"setAppBadge\"", PageRequest::SetAppBadge},
    {L"\"clearAppBadge\"", PageRequest::ClearAppBadge},
};

bool isAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The white space of the "C" locale; the page's serialisation never puts any
// after a colon, so anything wider would only widen what hostile text can do.
bool isAsciiSpace(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Offset just past the first `"name"` followed by `tail`, or npos.
std::size_t findFieldValue(std::wstring_view text, std::wstring_view name, std::wstring_view tail) {
    std::wstring key;
    key.reserve(name.size() + 2 + tail.size());
    key += L'"';
    key += name;
    key += L'"';
    key += tail;
    const std::size_t at = text.find(key);
    return at == std::wstring_view::npos ? at : at + key.size();
}

} // namespace

PageRequest recognizeRequest(std::wstring_view text) {
    for (const RequestName& name : REQUEST_NAMES) {
        if (text.find(name.quoted) != std::wstring_view::npos) return name.request;
    }
    return PageRequest::None;
}

int readIntegerField(std::wstring_view text, std::wstring_view name) {
    std::size_t i = findFieldValue(text, name, L":");
    if (i == std::wstring_view::npos) return 0;
    while (i < text.size() && isAsciiSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    // Accumulate the magnitude and stop growing it once it is past every 32-bit
    // value, so a page cannot overflow the reader with a long run of digits.
    constexpr std::int64_t LIMIT = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size() && isAsciiDigit(text[i]); ++i) {
        if (magnitude <= LIMIT) magnitude = magnitude * 10 + (text[i] - L'0');
    }
    if (negative) {
        return magnitude >= LIMIT ? std::numeric_limits<std::int32_t>::min()
                                  : static_cast<int>(-magnitude);
    }
    return magnitude >= LIMIT ? std::numeric_limits<std::int32_t>::max()
                              : static_cast<int>(magnitude);
}

std::optional<int> readBadgeCount(std::wstring_view text) {
    const std::size_t start = findFieldValue(text, L"count", L":");
    if (start == std::wstring_view::npos) return std::nullopt;
    std::size_t end = start;
    int count = 0;
    while (end < text.size() && isAsciiDigit(text[end]) && end - start < 4)
        count = count * 10 + (text[end++] - L'0');
    if (end == start || end == text.size() || (text[end] != L',' && text[end] != L'}'))
        return std::nullopt;
    return count;
}

std::wstring readDigitField(std::wstring_view text, std::wstring_view name) {
    const std::size_t start = findFieldValue(text, name, L":\"");
    if (start == std::wstring_view::npos) return {};
    // Only ASCII digits: the value becomes a window handle on the capture
    // helper's command line, where digits of other scripts would not parse.
    std::size_t end = start;
    while (end < text.size() && isAsciiDigit(text[end])) ++end;
    return std::wstring(text.substr(start, end - start));
}

bool readInCall(std::wstring_view text) {
    return text.find(L"\"inCall\":true") != std::wstring_view::npos;
}

std::wstring downloadPageAddress() {
    return std::wstring(SERVICE_ORIGIN) + DOWNLOAD_PAGE_PATH;
}
