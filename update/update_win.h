#pragma once

// The update flow on the user-interface thread: the check tick starts a check
// runner thread, whose result comes back as WM_UPDATE_RESULT with an owned
// std::string* of the script's output as lParam; wParam is 1 for exit code 0,
// UPDATE_REFUSED when the script reported a release ready that failed its
// verification (and is gone from the stage folder), and 0 otherwise.

#include <windows.h>

constexpr UINT WM_UPDATE_RESULT = WM_APP + 4;
constexpr WPARAM UPDATE_REFUSED = 2;

// Starts a check unless one runs, an update is ready, or the script cannot be
// written.
void updateCheckTick();

// Takes the result record, sets the update state, tells the page, and installs
// a ready update at once in the first minute outside a call.
void onUpdateResult(WPARAM ranOk, LPARAM output);

// Runs the page's update script with the current state; nothing without a page.
void pushUpdateState();

// When an update is ready: starts the script in install mode and destroys the
// main window, so that the program ends and the script can replace it.
void installUpdate();
