#include <windows.h>

#include <vector>

#include "desktop/desktop_win.h"
#include "desktop/page_idle.h"
#include "shell/shell_state_win.h"

namespace {

constexpr wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t RUN_VALUE[] = L"Tolvin";
constexpr wchar_t APPROVED_KEY[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

bool g_pageShown = true;                            // what the controller was last told
MemoryTarget g_memoryTarget = MemoryTarget::Normal; // what the web view was last told

// GetWindowPlacement speaks workspace coordinates: screen coordinates less the
// origin of the primary monitor's work area.
std::vector<PlaceRect> monitorWorkAreas() {
    RECT primary{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &primary, 0);
    struct Found {
        POINT origin;
        std::vector<PlaceRect> areas;
    } found{{primary.left, primary.top}, {}};
    EnumDisplayMonitors(
        nullptr, nullptr,
        [](HMONITOR monitor, HDC, RECT*, LPARAM data) -> BOOL {
            auto& found = *reinterpret_cast<Found*>(data);
            MONITORINFO info{};
            info.cbSize = sizeof(info);
            if (GetMonitorInfoW(monitor, &info)) {
                const RECT& r = info.rcWork;
                const POINT& o = found.origin;
                found.areas.push_back({r.left - o.x, r.top - o.y, r.right - o.x, r.bottom - o.y});
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found.areas;
}

// Turned off in Task Manager's Startup tab, the Run value stays and Windows
// marks it here: a binary value whose first byte is odd while it is disabled.
bool disabledInTaskManager() {
    BYTE state[16]{};
    DWORD size = sizeof(state);
    return RegGetValueW(HKEY_CURRENT_USER, APPROVED_KEY, RUN_VALUE, RRF_RT_REG_BINARY, nullptr,
                        state, &size) == ERROR_SUCCESS &&
           size > 0 && (state[0] & 1);
}

} // namespace

int restoreWindowPlace(HWND window, int show) {
    const auto place = loadWindowPlace();
    if (!place || !placeOnScreen(*place, monitorWorkAreas())) return show;
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    GetWindowPlacement(window, &placement);
    const PlaceRect& r = place->rect;
    placement.rcNormalPosition = {r.left, r.top, r.right, r.bottom};
    placement.flags = place->maximised ? WPF_RESTORETOMAXIMIZED : 0;
    placement.showCmd = SW_HIDE; // the first ShowWindow shows it
    SetWindowPlacement(window, &placement);
    const bool plainShow = show == SW_SHOWDEFAULT || show == SW_SHOWNORMAL || show == SW_SHOW;
    return place->maximised && plainShow ? SW_SHOWMAXIMIZED : show;
}

void rememberWindowPlace(HWND window) {
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    if (!GetWindowPlacement(window, &placement)) return;
    const RECT& r = placement.rcNormalPosition;
    const bool maximised =
        IsZoomed(window) || (IsIconic(window) && (placement.flags & WPF_RESTORETOMAXIMIZED));
    saveWindowPlace({{r.left, r.top, r.right, r.bottom}, maximised});
}

bool startsWithWindows() {
    return RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_REG_SZ, nullptr, nullptr,
                        nullptr) == ERROR_SUCCESS &&
           !disabledInTaskManager();
}

void setStartWithWindows(bool on) {
    if (!on) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
        return;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    // Quoted: the program's path may hold spaces.
    const std::wstring command = L"\"" + programPath() + L"\"";
    RegSetValueExW(key, RUN_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    // The user asked for it here, so a mark from Task Manager no longer holds.
    RegDeleteKeyValueW(HKEY_CURRENT_USER, APPROVED_KEY, RUN_VALUE);
}

// Hidden in the tray or minimised, the runtime throttles the page's timers and
// drawing as a browser does for a background tab; sound, calls and a share go
// on. Both are restored before the window paints again. The memory target
// also waits for the call and the share to end.
void followPageVisibility(HWND window, bool newController) {
    if (newController) {
        g_pageShown = true;
        g_memoryTarget = MemoryTarget::Normal;
    }
    if (!g_shell.controller) return;
    const bool shown = IsWindowVisible(window) && !IsIconic(window);
    if (shown != g_pageShown) {
        g_pageShown = shown;
        g_shell.controller->put_IsVisible(shown);
    }
    const MemoryTarget target = memoryTargetFor(shown, g_shell.inCall, g_shell.appAudio != nullptr);
    if (target == g_memoryTarget) return;
    g_memoryTarget = target;
    ComRef<ICoreWebView2_19> webView;
    if (g_shell.webView) g_shell.webView->QueryInterface(IID_ICoreWebView2_19, webView.putVoid());
    if (webView) {
        webView->put_MemoryUsageTargetLevel(target == MemoryTarget::Low
                                                ? COREWEBVIEW2_MEMORY_USAGE_TARGET_LEVEL_LOW
                                                : COREWEBVIEW2_MEMORY_USAGE_TARGET_LEVEL_NORMAL);
    }
}
