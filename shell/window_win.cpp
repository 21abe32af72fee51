#include <windows.h>
#include <shellapi.h>
#include <windowsx.h>

#include <deque>
#include <string>
#include <utility>

#include "appaudio/app_audio_win.h"
#include "bridge/page_scripts.h"
#include "desktop/desktop_win.h"
#include "notify/notify_win.h"
#include "shell/posted_records.h"
#include "shell/shell_state_win.h"
#include "update/update_win.h"

namespace {

PostedRecords g_postedRecords;
std::deque<std::wstring> g_toOpen;

constexpr UINT IDM_TOGGLE_MUTE = 1002;
constexpr UINT IDM_TOGGLE_DEAFEN = 1003;
constexpr UINT IDM_SWITCH_SERVER = 1004;
constexpr UINT IDM_START_WITH_WINDOWS = 1006;

// A window the page minimised comes back restored, not as a taskbar button.
void showAndActivate(HWND window) {
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
}

// At `anchor`: where the icon was clicked, or where the keyboard chose it.
void showTrayMenu(HWND window, POINT anchor) {
    HMENU menu = CreatePopupMenu();
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, IDM_SHOW, L"Show Tolvin");
    InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu, 2, MF_BYPOSITION | MF_STRING, IDM_TOGGLE_MUTE, L"Toggle Mute (Ctrl+Shift+M)");
    InsertMenuW(menu, 3, MF_BYPOSITION | MF_STRING, IDM_TOGGLE_DEAFEN,
                L"Toggle Deafen (Ctrl+Shift+D)");
    InsertMenuW(menu, 4, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu, 5, MF_BYPOSITION | MF_STRING, IDM_SWITCH_SERVER, L"Switch Server...");
    // Checked as the registry holds it: the user may have removed it elsewhere.
    InsertMenuW(menu, 6, MF_BYPOSITION | MF_STRING | (startsWithWindows() ? MF_CHECKED : 0),
                IDM_START_WITH_WINDOWS, L"Start with Windows");
    InsertMenuW(menu, 7, MF_BYPOSITION | MF_STRING, IDM_QUIT, L"Quit Tolvin");
    // Without the foreground the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, anchor.x, anchor.y, 0, window, nullptr);
    // Without a message after it the next menu of the notification area may
    // close as soon as it opens.
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void paintNotice(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(230, 220, 224));
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    DrawTextW(dc, g_shell.pageNotice, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    EndPaint(window, &paint);
}

void onCommand(HWND window, UINT command) {
    switch (command) {
    case IDM_SHOW:
        showAndActivate(window);
        break;
    case IDM_TOGGLE_MUTE:
        runPageScript(MUTE_SCRIPT);
        break;
    case IDM_TOGGLE_DEAFEN:
        runPageScript(DEAFEN_SCRIPT);
        break;
    case IDM_SWITCH_SERVER:
        openSwitchServerDialog(window);
        break;
    case IDM_START_WITH_WINDOWS:
        setStartWithWindows(!startsWithWindows());
        break;
    case IDM_QUIT:
        DestroyWindow(window);
        break;
    default:
        break;
    }
}

// The icon speaks version 4: the event in the low word, the anchor in wParam.
// The mouse's own messages come too, before these, and are left alone.
void onTrayIcon(HWND window, WPARAM anchor, LPARAM event) {
    switch (LOWORD(event)) {
    case WM_CONTEXTMENU:
        showTrayMenu(window, {GET_X_LPARAM(anchor), GET_Y_LPARAM(anchor)});
        break;
    case NIN_SELECT:
    case NIN_KEYSELECT:
        if (IsWindowVisible(window) && !IsIconic(window))
            ShowWindow(window, SW_HIDE);
        else
            showAndActivate(window);
        break;
    case NIN_BALLOONUSERCLICK:
        showAndActivate(window);
        onNotificationClicked();
        break;
    case NIN_BALLOONTIMEOUT:
        onNotificationTimedOut();
        break;
    default:
        break;
    }
}

} // namespace

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY: // "Quit Tolvin" and an update install; the helper's life-line is closed
        rememberWindowPlace(window);
        stopAppAudio();
        PostQuitMessage(0);
        return 0;
    case WM_MOVE: // the page places its drop-downs and input-method windows from here
        if (g_shell.controller) g_shell.controller->NotifyParentWindowPositionChanged();
        return 0;
    case WM_PAINT:
        if (!g_shell.pageNotice) return DefWindowProcW(window, message, wParam, lParam);
        paintNotice(window);
        return 0;
    case WM_START_DRAG:
        startWindowDrag(window);
        return 0;
    case WM_OPEN_OUTSIDE:
        onOpenOutside();
        return 0;
    case WM_REBUILD_WEBVIEW:
        onRebuildWebView();
        return 0;
    case WM_SIZE:
        if (g_shell.controller) {
            RECT bounds;
            GetClientRect(window, &bounds);
            g_shell.controller->put_Bounds(bounds);
        }
        return 0;
    case WM_ENDSESSION: // the session ends without destroying the window
        if (wParam) rememberWindowPlace(window);
        return 0;
    case WM_WINDOWPOSCHANGED: {
        const LRESULT result = DefWindowProcW(window, message, wParam, lParam); // WM_SIZE first
        followPageVisibility(window);
        return result;
    }
    case WM_CLOSE: // closing only hides: the program lives on in the tray
        ShowWindow(window, SW_HIDE);
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {940, 600};
        return 0;
    case WM_COMMAND:
        onCommand(window, LOWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == TIMER_FIRST_UPDATE_CHECK) KillTimer(window, TIMER_FIRST_UPDATE_CHECK);
        if (wParam == TIMER_FIRST_UPDATE_CHECK || wParam == TIMER_UPDATE_CHECK) updateCheckTick();
        if (wParam == TIMER_WEBVIEW_START) onWebViewStartTimer();
        return 0;
    case WM_HOTKEY:
        if (wParam == HOTKEY_MUTE)
            runPageScript(MUTE_SCRIPT);
        else if (wParam == HOTKEY_DEAFEN)
            runPageScript(DEAFEN_SCRIPT);
        return 0;
    case WM_TRAYICON:
        onTrayIcon(window, wParam, lParam);
        return 0;
    case WM_APPAUDIO_STARTED:
    case WM_APPAUDIO_PCM:
    case WM_APPAUDIO_ENDED:
    case WM_UPDATE_RESULT:
        // A made-up or already handled address is never dereferenced.
        if (!g_postedRecords.take(reinterpret_cast<const void*>(lParam))) return 0;
        if (message == WM_APPAUDIO_STARTED)
            onAppAudioStarted(wParam, lParam);
        else if (message == WM_APPAUDIO_PCM)
            onAppAudioPcm(lParam);
        else if (message == WM_APPAUDIO_ENDED)
            onAppAudioEnded(lParam);
        else
            onUpdateResult(wParam, lParam);
        followPageVisibility(window); // a share may have ended
        return 0;
    default:
        // A restarted taskbar has forgotten every icon; it asks for them again.
        if (message == g_shell.taskbarCreated) addTrayIcon();
        if (message == g_shell.taskbarButtonCreated) onTaskbarButtonCreated();
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool postRecord(HWND window, UINT message, WPARAM wParam, const void* record) {
    g_postedRecords.add(record);
    if (PostMessageW(window, message, wParam, reinterpret_cast<LPARAM>(record))) return true;
    g_postedRecords.take(record);
    return false;
}

void openOutside(std::wstring address) {
    g_toOpen.push_back(std::move(address));
    if (!PostMessageW(g_shell.mainWindow, WM_OPEN_OUTSIDE, 0, 0)) g_toOpen.pop_back();
}

void onOpenOutside() {
    if (g_toOpen.empty()) return;
    const std::wstring address = std::move(g_toOpen.front());
    g_toOpen.pop_front();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI; // a failure is no box for the user to answer
    info.lpVerb = L"open";
    info.lpFile = address.c_str();
    info.nShow = SW_SHOWNORMAL;
    ShellExecuteExW(&info);
}

void startWindowDrag(HWND window) {
    // A button released before this message came would leave the window stuck to
    // the pointer until the next click. The physical button is asked for.
    const int button = GetSystemMetrics(SM_SWAPBUTTON) ? VK_RBUTTON : VK_LBUTTON;
    if (GetAsyncKeyState(button) >= 0) return;
    POINT cursor{};
    GetCursorPos(&cursor);
    ReleaseCapture();
    SendMessageW(window, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(cursor.x, cursor.y));
}

void runPageScript(const wchar_t* script) {
    if (g_shell.webView) g_shell.webView->ExecuteScript(script, nullptr);
}
