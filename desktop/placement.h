#pragma once

// Where the main window comes back at the next start: its restored rectangle in
// the coordinates GetWindowPlacement gives, and whether it was maximised. Kept
// in a file of its own in the settings folder, one line of five decimal numbers:
// left, top, right, bottom, and 1 when maximised, else 0.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PlaceRect {
    int left, top, right, bottom;
};

struct WindowPlace {
    PlaceRect rect;
    bool maximised;
};

std::string placeText(const WindowPlace& place);

// The place a file holds, or none when its text is anything but one such line
// (with or without its line break) describing a rectangle the system could make.
std::optional<WindowPlace> readPlace(std::string_view text);

// Whether the user can still reach the window there: a piece of its title bar
// at least 64 pixels wide, and as high as the bar, lies on one of `monitors`.
// Otherwise (a screen was unplugged) the window takes its default place.
bool placeOnScreen(const WindowPlace& place, const std::vector<PlaceRect>& monitors);
