#include "notify/notify.h"

PermissionAnswer permissionFor(bool trustedOrigin, int kind) {
    if (!trustedOrigin) return PermissionAnswer::Deny;
    switch (kind) {
    case PERMISSION_MICROPHONE:
    case PERMISSION_CAMERA:
    case PERMISSION_NOTIFICATIONS:
    case PERMISSION_CLIPBOARD_READ:
        return PermissionAnswer::Allow;
    default:
        return PermissionAnswer::AskUser;
    }
}

std::wstring balloonText(std::wstring_view text, size_t max) {
    std::wstring cut(text.substr(0, max));
    // A high surrogate whose low half was cut off would show as a broken glyph.
    if (cut.size() == max && text.size() > max && cut.back() >= 0xD800 && cut.back() <= 0xDBFF)
        cut.pop_back();
    return cut;
}

std::wstring badgeText(int count) {
    if (count <= 0) return {};
    return count > 9 ? L"9+" : std::to_wstring(count);
}

std::wstring trayTip(int unread) {
    return unread > 0 ? L"Tolvin \u2013 " + std::to_wstring(unread) + L" unread" : L"Tolvin";
}
