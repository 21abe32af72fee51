#include <windows.h>

#include "desktop/desktop_win.h"
#include "shell/shell_state_win.h"

namespace {

constexpr wchar_t NO_ANSWER[] = L"Tolvin is already running but did not respond. Close it from the "
                                L"notification area, or end it in Task Manager, and try again.";

// A posted message would only wait in a hung first's queue, and one from a
// program without administrator rights to one with them is filtered: ask, and
// wait a few seconds at most for the answer.
bool toldToShow(HWND first) {
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(first, WM_COMMAND, IDM_SHOW, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 3000,
                               &answer) != 0;
}

} // namespace

// One instance per session: a second start asks the first to show its window
// and ends. The first may hold the name before its window exists, or while it
// ends; a start that finds the name free after all runs on as the first. One
// that finds neither within the limit runs too, rather than leave the user
// with nothing.
bool handedOverToRunningInstance() {
    const ULONGLONG started = GetTickCount64();
    do {
        // The session's namespace: other users on the machine run their own.
        HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\Tolvin.Instance");
        if (mutex && GetLastError() != ERROR_ALREADY_EXISTS) return false; // held until exit
        if (mutex) CloseHandle(mutex);
        if (HWND first = FindWindowW(WINDOW_CLASS, nullptr)) {
            // The user started this one, so it may hand the foreground on.
            DWORD pid = 0;
            GetWindowThreadProcessId(first, &pid);
            AllowSetForegroundWindow(pid);
            if (!toldToShow(first))
                MessageBoxW(nullptr, NO_ANSWER, L"Tolvin", MB_OK | MB_ICONWARNING);
            return true;
        }
        Sleep(50);
    } while (GetTickCount64() - started < 5000);
    return false;
}
