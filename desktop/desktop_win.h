#pragma once

// What users expect of a desktop program beside the page: the window back where
// it was, a start with Windows, a "Switch Server" dialog, and a page that idles
// while nobody sees it. All of it runs on the user-interface thread.

#include <windows.h>

#include <optional>
#include <string>

#include "desktop/placement.h"

// One instance per session: true when a first instance runs and was asked to
// show its window (or, when it did not answer, the user was told), so that this
// start ends with 0.
bool handedOverToRunningInstance();

// The settings folder's files (settings_win.cpp). saveServerUrl writes
// config.json through a temporary file and an atomic replace; false when the
// settings folder is unknown, the old file could not be read or the new one not
// written. Nothing is ever written outside that folder.
bool saveServerUrl(const std::wstring& url);
std::optional<WindowPlace> loadWindowPlace();
void saveWindowPlace(const WindowPlace& place);

// Puts the new, not yet shown main window where it was at the last exit when
// that place is still on a monitor, and answers the show command for its first
// show: `show`, or maximised when it was and the start asks for a plain show.
int restoreWindowPlace(HWND window, int show);
// Saves the main window's restored rectangle and whether it is maximised.
void rememberWindowPlace(HWND window);

// The Run value under HKEY_CURRENT_USER that starts this program at sign-in.
bool startsWithWindows();
void setStartWithWindows(bool on);

// When this program runs from the folder the installer's uninstall entry names,
// writes its own version to the entry if that holds another (a self-update
// replaced the files the installer put there).
void keepUninstallEntryVersion();

// Opens the dialog, or brings the open one forward.
void openSwitchServerDialog(HWND owner);
// True when the message was the open dialog's and has been handled.
bool switchServerDialogMessage(MSG& message);

// Tells the web view whether the window shows it (visible and not minimised),
// and lowers its memory target while not and the page is neither in a call nor
// sharing, when that changed. Called again whenever one of these may have
// changed. A new controller starts visible.
void followPageVisibility(HWND window, bool newController = false);
