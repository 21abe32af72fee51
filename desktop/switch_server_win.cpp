#include <windows.h>

#include "desktop/desktop_win.h"
#include "shell/resource.h"
#include "shell/settings.h"
#include "shell/shell_state_win.h"

namespace {

HWND g_dialog = nullptr; // the open dialog, modeless, or none

// A good address is saved and opened at once; the origin check follows it, as
// it reads the server address. Anything else keeps the dialog open and says why.
void accept(HWND dialog) {
    HWND edit = GetDlgItem(dialog, IDC_ADDRESS);
    std::wstring address(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    address.resize(static_cast<size_t>(
        GetWindowTextW(edit, address.data(), static_cast<int>(address.size()))));
    auto problem = serverUrlProblem(address);
    if (!problem && !saveServerUrl(address)) problem = L"Tolvin could not save config.json.";
    if (problem) {
        SetDlgItemTextW(dialog, IDC_PROBLEM, problem->c_str());
        SetFocus(edit);
        return;
    }
    g_shell.serverUrl = address;
    if (g_shell.webView) g_shell.webView->Navigate(address.c_str());
    DestroyWindow(dialog);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        // Selected, so that typing replaces it.
        HWND edit = GetDlgItem(dialog, IDC_ADDRESS);
        SetWindowTextW(edit, g_shell.serverUrl.c_str());
        SendMessageW(edit, EM_SETSEL, 0, -1);
        SetFocus(edit);
        return FALSE; // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) accept(dialog);
        if (LOWORD(wParam) == IDCANCEL) DestroyWindow(dialog); // Cancel, Escape, the close box
        return TRUE;
    case WM_DESTROY:
        g_dialog = nullptr;
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void openSwitchServerDialog(HWND owner) {
    if (!g_dialog) {
        g_dialog = CreateDialogParamW(g_shell.instance, MAKEINTRESOURCEW(IDD_SWITCH_SERVER), owner,
                                      dialogProc, 0);
    }
    if (!g_dialog) return;
    ShowWindow(g_dialog, SW_SHOW);
    SetForegroundWindow(g_dialog);
}

bool switchServerDialogMessage(MSG& message) {
    return g_dialog && IsDialogMessageW(g_dialog, &message);
}
