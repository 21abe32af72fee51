#pragma once

// The one process-wide record of the shell. Everything in it belongs to the
// user-interface thread; worker threads reach that thread only by posting
// messages to the main window.

#include <windows.h>
#include <shellapi.h>

#include <WebView2.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/com_ref_win.h"
#include "shell/installer_contract.h"
#include "update/update_flow.h"

// Global hot key identifiers and timers on the main window.
constexpr int HOTKEY_MUTE = 1;
constexpr int HOTKEY_DEAFEN = 2;
constexpr UINT_PTR TIMER_FIRST_UPDATE_CHECK = 201;
constexpr UINT_PTR TIMER_UPDATE_CHECK = 202;
constexpr UINT_PTR TIMER_WEBVIEW_START = 203; // a retry, or the box, after a failed start
constexpr UINT WM_TRAYICON = WM_USER + 101;
// Work a web view event asks for runs later from the window procedure: a modal
// loop or a rebuild inside the runtime's callback is not allowed.
constexpr UINT WM_START_DRAG = WM_APP + 5;
constexpr UINT WM_OPEN_OUTSIDE = WM_APP + 6;
constexpr UINT WM_REBUILD_WEBVIEW = WM_APP + 7;
constexpr UINT IDM_SHOW = 1001; // "Show Tolvin", also what a second start asks of the first

struct AppAudio;

// The loader's one export we call, looked up with GetProcAddress.
using CreateEnvironmentWithOptionsFn = decltype(&CreateCoreWebView2EnvironmentWithOptions);

struct ShellState {
    ShellState() { tray.cbSize = sizeof(tray); }

    NOTIFYICONDATAW tray{};
    UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    UINT taskbarButtonCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");
    HWND mainWindow = nullptr;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    CreateEnvironmentWithOptionsFn loaderEntry = nullptr;
    ULONGLONG startTick = 0;
    bool inCall = false; // the page says the user is in a call
    // The current app-audio session, or none.
    std::shared_ptr<AppAudio> appAudio;
    UpdateState update;
    bool updateCheckRunning = false;
    // A line drawn in the window where the page would be, or none.
    const wchar_t* pageNotice = nullptr;

    // Members are destroyed in reverse order at process exit: the server address
    // first, the controller last.
    ComRef<ICoreWebView2Controller> controller;
    ComRef<ICoreWebView2> webView;
    std::wstring serverUrl;
    std::once_flag settingsLoaded;
};

extern ShellState g_shell;

// Adds the tray icon of g_shell.tray, at start and after a taskbar restart.
void addTrayIcon();

// Reads config.json once per process; later calls return at once.
void loadSettings();

// This program's full path, and its folder (no trailing backslash; empty when
// the path names none), read once.
const std::wstring& programPath();
const std::wstring& programFolder();

// Starts `commandLine` with no console window and the three standard handles
// given, which are the only handles it inherits: another thread may hold
// inheritable handles of its own at that moment (a pipe for another child), and
// a child that inherited one would keep that pipe open for as long as it runs.
bool startHidden(std::wstring commandLine, HANDLE input, HANDLE output, HANDLE error,
                 PROCESS_INFORMATION& process);

// Runs a script in the page; nothing happens before a web view exists. Each
// script checks for the page function it calls itself.
void runPageScript(const wchar_t* script);

// The main window's procedure.
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Has the window procedure hand `address` to the program the system opens it
// with (the user's browser, mail program), without the system's error boxes.
void openOutside(std::wstring address);
void onOpenOutside();

// The window procedure's part of a drag the page asked for: the system's move
// loop, while the button that pressed on the page is still down.
void startWindowDrag(HWND window);

// Posts a worker's heap record to the window as `message`'s lParam; false when
// the queue did not take it, and the record is still the caller's. The window
// procedure hands on only records posted this way (any program can post the
// same message numbers), each once.
bool postRecord(HWND window, UINT message, WPARAM wParam, const void* record);

// Asks the runtime for an environment; the rest of the page set-up follows in
// the runtime's callbacks on this thread.
void requestWebViewEnvironment(const wchar_t* userDataFolder);

// Tells the user why the page could not start: the runtime is missing (the
// loader's "no runtime" code), or the start failed with `result`.
void showStartFailure(HRESULT result);

// The window procedure's part after a failed start: a new environment request,
// or the box.
void onWebViewStartTimer();

// The window procedure's part after the browser process died: a new web view.
void onRebuildWebView();
