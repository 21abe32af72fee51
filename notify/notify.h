#pragma once

// What the shell lets the page do beyond a browser tab: which permissions it
// gets without a prompt, and what its notifications and unread count look like
// in the notification area and on the taskbar. Portable; the Windows side is
// notify_win.h.

#include <string>
#include <string_view>

// The runtime's permission kinds, as it numbers them (COREWEBVIEW2_PERMISSION_KIND).
inline constexpr int PERMISSION_MICROPHONE = 1;
inline constexpr int PERMISSION_CAMERA = 2;
inline constexpr int PERMISSION_NOTIFICATIONS = 4;
inline constexpr int PERMISSION_CLIPBOARD_READ = 6;

enum class PermissionAnswer { Allow, Deny, AskUser };

// The service's own pages get what a call and a chat need without a prompt;
// anything else they ask for keeps the runtime's prompt. Every other origin (an
// embedded widget, a page a link led to) gets nothing, whatever it asks for:
// it has no business with the user's microphone inside Tolvin.
PermissionAnswer permissionFor(bool trustedOrigin, int kind);

// Windows cuts a balloon's title at 63 characters and its text at 255; cut here,
// never inside a surrogate pair. The text is shown as it is: a balloon reads no
// markup.
inline constexpr size_t BALLOON_TITLE_MAX = 63;
inline constexpr size_t BALLOON_TEXT_MAX = 255;
std::wstring balloonText(std::wstring_view text, size_t max);

// The unread count as the taskbar badge shows it: empty for none, the number up
// to 9, "9+" above.
std::wstring badgeText(int count);

// The tray icon's tooltip: "Tolvin", or "Tolvin – N unread".
std::wstring trayTip(int unread);
