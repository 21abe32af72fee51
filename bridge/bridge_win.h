#pragma once

// The Win32 side of the page bridge. Everything here is called on the
// user-interface thread, inside the web view's message callback.

#include <string>

// Carries out one page message, given as the JSON text the web view made of it.
// Returns at once: a window drag and an address to open are left to the window
// procedure.
void dispatchWebMessage(const std::wstring& text);

// One snapshot of the running processes: the first known game or application
// in it as {"name":"…","type":"playing"}, or null.
std::wstring scanActivity();

// Has the hook thread install the system-wide keyboard hook unless one is
// installed; a failed attempt leaves none, so the next request tries again.
void installPushToTalkHook();

// Removes the hook and ends its thread; called once, after the message loop.
void removePushToTalkHook();
