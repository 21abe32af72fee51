#pragma once

// What the installer and uninstaller of every release rely on to end a running
// Tolvin, as the tray's "Quit Tolvin" does: they find the main window by its
// class name, post it WM_COMMAND with IDM_QUIT, and wait for the process to end.
// installer/tolvin.nsi reads both values from this file. Never change them: a
// new installer has to end the Tolvin of an old release.

constexpr wchar_t WINDOW_CLASS[] = L"TolvinWindowClass";
constexpr unsigned IDM_QUIT = 1005;
