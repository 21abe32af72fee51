#pragma once

// The page's permissions, notifications and unread count on Windows: the door of
// this room for the shell. Everything here runs on the user-interface thread.

#include <windows.h>

#include <WebView2.h>

// Answers the permission requests of a new web view and of its frames by the
// policy of notify.h, without remembering any answer in the profile, clears
// what the profile remembers for other origins, and takes over the page's
// notifications. Called once per web view, before its first navigation.
void watchPagePermissionsAndNotifications(ICoreWebView2* webView);

// The tray icon's balloon was clicked (the window is shown by the caller) or
// timed out: the notification it showed is reported clicked or closed.
void onNotificationClicked();
void onNotificationTimedOut();

// The page's unread count (0 for none): an overlay on the taskbar button and the
// tray icon's tooltip.
void setUnreadCount(int count);

// The taskbar made the window's button, at the first show or after a restart:
// the overlay is set on it again.
void onTaskbarButtonCreated();
