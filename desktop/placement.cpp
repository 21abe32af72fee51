#include "desktop/placement.h"

#include <algorithm>

namespace {

constexpr int MAX_SIZE = 32767; // the largest width or height of a window
constexpr int TITLE_BAR = 24;
constexpr int TITLE_PIECE = 64;

// A decimal number of at most six digits, with an optional minus sign, ending
// at `end`; `text` is advanced past it.
std::optional<int> number(std::string_view& text, char end) {
    const size_t stop = text.find(end);
    if (stop == std::string_view::npos) return std::nullopt;
    std::string_view digits = text.substr(0, stop);
    text.remove_prefix(stop + 1);
    const bool negative = digits.starts_with('-');
    if (negative) digits.remove_prefix(1);
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

} // namespace

std::string placeText(const WindowPlace& place) {
    const PlaceRect& r = place.rect;
    return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) +
           " " + std::to_string(r.bottom) + " " + (place.maximised ? "1" : "0") + "\n";
}

std::optional<WindowPlace> readPlace(std::string_view text) {
    if (text.ends_with("\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with('\n'))
        text.remove_suffix(1);
    if (!text.ends_with(" 0") && !text.ends_with(" 1")) return std::nullopt;
    const bool maximised = text.back() == '1';
    std::string_view rest = text.substr(0, text.size() - 1); // each number ends at a space
    const auto left = number(rest, ' ');
    const auto top = number(rest, ' ');
    const auto right = number(rest, ' ');
    const auto bottom = number(rest, ' ');
    if (!left || !top || !right || !bottom || !rest.empty()) return std::nullopt;
    const PlaceRect rect{*left, *top, *right, *bottom};
    if (rect.right - rect.left < 1 || rect.right - rect.left > MAX_SIZE) return std::nullopt;
    if (rect.bottom - rect.top < 1 || rect.bottom - rect.top > MAX_SIZE) return std::nullopt;
    return WindowPlace{rect, maximised};
}

bool placeOnScreen(const WindowPlace& place, const std::vector<PlaceRect>& monitors) {
    const PlaceRect& r = place.rect;
    return std::any_of(monitors.begin(), monitors.end(), [&r](const PlaceRect& m) {
        const int wide = std::min(r.right, m.right) - std::max(r.left, m.left);
        return wide >= TITLE_PIECE && r.top >= m.top && r.top + TITLE_BAR <= m.bottom;
    });
}
