#include <windows.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "bridge/bridge_win.h"
#include "shell/shell_state_win.h"

namespace {

// The system calls a low-level hook on the thread that installed it, and every
// key on the desktop waits for it. That thread is ours alone, so that the window
// thread's work (process snapshots and starts, page requests) never delays
// anyone's typing, nor makes the system drop the hook for being slow.
constexpr UINT WM_INSTALL_HOOK = WM_APP + 20;

HHOOK g_hook = nullptr; // touched only on the hook thread
std::thread g_hookThread;
std::atomic<DWORD> g_hookThreadId = 0;

// Observes only: every key goes on unchanged.
LRESULT CALLBACK pushToTalkHook(int code, WPARAM message, LPARAM event) {
    return CallNextHookEx(g_hook, code, message, event);
}

void runHookThread(HANDLE queueReady) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // makes this thread's message queue
    g_hookThreadId = GetCurrentThreadId();
    SetEvent(queueReady);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // A failed installation leaves none, so the next request tries again.
        if (msg.message == WM_INSTALL_HOOK && !g_hook)
            g_hook = SetWindowsHookExW(WH_KEYBOARD_LL, pushToTalkHook, g_shell.instance, 0);
    }
    if (g_hook) UnhookWindowsHookEx(g_hook);
}

bool startHookThread() {
    HANDLE queueReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!queueReady) return false;
    try {
        g_hookThread = std::thread(runHookThread, queueReady);
    } catch (const std::system_error&) {
        CloseHandle(queueReady);
        return false;
    }
    WaitForSingleObject(queueReady, INFINITE);
    CloseHandle(queueReady);
    return true;
}

} // namespace

void installPushToTalkHook() {
    if (!g_hookThread.joinable() && !startHookThread()) return;
    PostThreadMessageW(g_hookThreadId, WM_INSTALL_HOOK, 0, 0);
}

void removePushToTalkHook() {
    if (!g_hookThread.joinable()) return;
    PostThreadMessageW(g_hookThreadId, WM_QUIT, 0, 0);
    g_hookThread.join();
}
