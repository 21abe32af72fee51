#include <windows.h>

#include "bridge/bridge_win.h"
#include "shell/shell_state_win.h"

namespace {

// Observes only: every key goes on unchanged. The system calls this on the
// user-interface thread, so it must stay this short.
LRESULT CALLBACK pushToTalkHook(int code, WPARAM message, LPARAM event) {
    return CallNextHookEx(g_shell.keyboardHook, code, message, event);
}

} // namespace

void installPushToTalkHook() {
    if (g_shell.keyboardHook) return;
    g_shell.keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, pushToTalkHook, g_shell.instance, 0);
}
