#include <windows.h>
#include <dwmapi.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "bridge/bridge_win.h"
#include "desktop/desktop_win.h"
#include "diag/diag.h"
#include "shell/paths.h"
#include "shell/recovery.h"
#include "shell/shell_state_win.h"
#include "tolvin_version.h"

ShellState g_shell;

namespace {

constexpr wchar_t LOADER_DLL[] = L"WebView2Loader.dll";
constexpr COLORREF BACKGROUND = RGB(20, 7, 10);

int startupShowCommand() {
    STARTUPINFOW info{};
    info.cb = sizeof(info);
    GetStartupInfoW(&info);
    return (info.dwFlags & STARTF_USESHOWWINDOW) ? info.wShowWindow : SW_SHOWDEFAULT;
}

// The normal search order first, then the program's own folder by full path.
// The search leaves out the current folder and PATH, so that a loader planted
// there never loads in place of the one that ships beside the program.
void findLoader() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    HMODULE loader = LoadLibraryW(LOADER_DLL);
    if (!loader && !programFolder().empty())
        loader = LoadLibraryW((programFolder() + L"\\" + LOADER_DLL).c_str());
    if (loader) {
        g_shell.loaderEntry =
            reinterpret_cast<CreateEnvironmentWithOptionsFn>(reinterpret_cast<void*>(
                GetProcAddress(loader, "CreateCoreWebView2EnvironmentWithOptions")));
    }
}

void registerWindowClass() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = g_shell.instance;
    wc.hIcon = LoadIconW(g_shell.instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = CreateSolidBrush(BACKGROUND);
    wc.lpszClassName = WINDOW_CLASS;
    RegisterClassExW(&wc);
}

void useDarkTitleBar(HWND window) {
    const BOOL dark = TRUE;
    // 20 on current Windows; builds of Windows 10 before 20H1 know the same as 19.
    DwmSetWindowAttribute(window, 20, &dark, sizeof(dark));
    DwmSetWindowAttribute(window, 19, &dark, sizeof(dark));
}

// Without the loader that ships beside it the program cannot reach any runtime:
// the installation is broken, whatever is installed on the machine.
void startWebView() {
    if (!g_shell.loaderEntry) {
        logEvent(LogLevel::Error, LogSource::WebView, L"WebView2Loader.dll is missing");
        MessageBoxW(g_shell.mainWindow,
                    L"Tolvin's installation is incomplete: WebView2Loader.dll is missing. Please "
                    L"reinstall Tolvin.",
                    L"Tolvin", MB_ICONERROR);
        return;
    }
    // The local profile is the user's own. When that folder cannot be found, a
    // null folder lets the runtime choose its default.
    wchar_t local[MAX_PATH];
    std::wstring userData;
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local) == S_OK) {
        userData = std::wstring(local) + L"\\Tolvin\\EBWebView";
    }
    requestWebViewEnvironment(userData.empty() ? nullptr : userData.c_str());
}

} // namespace

void addTrayIcon() {
    Shell_NotifyIconW(NIM_ADD, &g_shell.tray);
    // Version 4: click, keyboard and balloon events each say what they are. The
    // version is the icon's, so each add sets it again.
    g_shell.tray.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &g_shell.tray);
}

const std::wstring& programPath() {
    static const std::wstring path = [] {
        wchar_t buffer[MAX_PATH];
        return std::wstring(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH));
    }();
    return path;
}

const std::wstring& programFolder() {
    static const std::wstring folder = folderOf(programPath());
    return folder;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (handedOverToRunningInstance()) return 0;
    // After the instance check: only the one instance writes tolvin.log.
    startDiagnostics(L"tolvin", LogSource::Shell);
    logEvent(LogLevel::Info, LogSource::Shell,
             L"start Tolvin " TOLVIN_VERSION_WTEXT L" on " + windowsVersion() +
                 (programIsSigned() ? L", signed" : L", unsigned"));
    const int show = startupShowCommand();
    findLoader();
    registerWindowClass();
    loadSettings();
    keepUninstallEntryVersion();

    HWND window =
        CreateWindowExW(0, WINDOW_CLASS, L"Tolvin", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        CW_USEDEFAULT, 1280, 820, nullptr, nullptr, g_shell.instance, nullptr);
    if (!window) return 0;
    g_shell.mainWindow = window;

    useDarkTitleBar(window);
    // Held down, a hot key would otherwise toggle again with every key repeat.
    RegisterHotKey(window, HOTKEY_MUTE, MOD_CONTROL | MOD_SHIFT | MOD_NOREPEAT, 'M');
    RegisterHotKey(window, HOTKEY_DEAFEN, MOD_CONTROL | MOD_SHIFT | MOD_NOREPEAT, 'D');
    NOTIFYICONDATAW& tray = g_shell.tray;
    tray.hWnd = window;
    tray.uID = 1;
    // Version 4 shows the standard tooltip only when asked.
    tray.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    tray.uCallbackMessage = WM_TRAYICON;
    tray.hIcon = LoadIconW(g_shell.instance, MAKEINTRESOURCEW(1));
    if (!tray.hIcon) tray.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    lstrcpynW(tray.szTip, L"Tolvin", ARRAYSIZE(tray.szTip));
    addTrayIcon();
    // An elevated program would not hear the taskbar otherwise.
    ChangeWindowMessageFilterEx(window, g_shell.taskbarButtonCreated, MSGFLT_ALLOW, nullptr);
    ShowWindow(window, restoreWindowPlace(window, show));
    UpdateWindow(window);
    g_shell.startTick = GetTickCount64();
    SetTimer(window, TIMER_FIRST_UPDATE_CHECK, 3000, nullptr);
    SetTimer(window, TIMER_UPDATE_CHECK, 14400000, nullptr);

    // The web view runtime refuses a thread outside a single-threaded apartment.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    startWebView();

    // GetMessageW answers -1 on an error, which would repeat for ever: that ends
    // the loop too, with exit code 0.
    MSG msg{};
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        if (switchServerDialogMessage(msg)) continue; // its keys: Tab, Enter, Escape
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    removePushToTalkHook();
    UnregisterHotKey(window, HOTKEY_MUTE);
    UnregisterHotKey(window, HOTKEY_DEAFEN);
    Shell_NotifyIconW(NIM_DELETE, &g_shell.tray);
    const int code = got == 0 ? static_cast<int>(msg.wParam) : 0;
    logEvent(LogLevel::Info, LogSource::Shell, L"quit, " + exitText(static_cast<uint32_t>(code)));
    flushLog(std::chrono::milliseconds(1000));
    return code;
}
