#include <windows.h>

#include "appaudio/app_audio_win.h"
#include "bridge/bridge_win.h"
#include "bridge/page_requests.h"
#include "bridge/page_scripts.h"
#include "desktop/desktop_win.h"
#include "notify/notify_win.h"
#include "shell/shell_state_win.h"
#include "update/update_win.h"

namespace {

void answerActivity(const std::wstring& text) {
    const std::wstring script =
        nativeReplyScript(readIntegerField(text, L"callbackId"), scanActivity());
    runPageScript(script.c_str());
}

} // namespace

void dispatchWebMessage(const std::wstring& text) {
    HWND window = g_shell.mainWindow;
    switch (recognizeRequest(text)) {
    case PageRequest::StartWindowDrag:
        PostMessageW(window, WM_START_DRAG, 0, 0);
        break;
    case PageRequest::WindowZoom:
        ShowWindow(window, IsZoomed(window) ? SW_RESTORE : SW_SHOWMAXIMIZED);
        break;
    case PageRequest::WindowMinimize:
        ShowWindow(window, SW_MINIMIZE);
        break;
    case PageRequest::WindowClose:
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    case PageRequest::ScanActivity:
        answerActivity(text);
        break;
    case PageRequest::AppAudioStart:
        startAppAudio(readIntegerField(text, L"id"), readDigitField(text, L"windowId"));
        followPageVisibility(window);
        break;
    case PageRequest::AppAudioStop:
        stopAppAudio();
        followPageVisibility(window);
        break;
    case PageRequest::SetInCall:
        g_shell.inCall = readInCall(text);
        followPageVisibility(window);
        break;
    case PageRequest::UpdateDownload:
        openOutside(downloadPageAddress());
        break;
    case PageRequest::UpdateState:
        pushUpdateState();
        break;
    case PageRequest::UpdateInstall:
        installUpdate();
        break;
    case PageRequest::SetPushToTalkKey:
        installPushToTalkHook();
        break;
    case PageRequest::SetAppBadge:
        if (const auto count = readBadgeCount(text)) setUnreadCount(*count);
        break;
    case PageRequest::ClearAppBadge:
        setUnreadCount(0);
        break;
    case PageRequest::None:
        break;
    }
}
