#include <windows.h>
#include <shellapi.h>

#include <string>

#include "common/callback_win.h"
#include "notify/notify.h"
#include "notify/notify_win.h"
#include "shell/deployment.h"
#include "shell/origin.h"
#include "shell/shell_state_win.h"

namespace {

bool trusted(const std::wstring& origin) {
    return trustedSource(origin, g_shell.serverUrl, SERVICE_ORIGIN);
}

// The policy's answer, set on the request; a kind it leaves to the user keeps
// the runtime's prompt. No answer is kept in the profile: the policy decides
// at every start.
void answerPermission(ICoreWebView2PermissionRequestedEventArgs* args) {
    LPWSTR uri = nullptr;
    args->get_Uri(&uri);
    COREWEBVIEW2_PERMISSION_KIND kind = COREWEBVIEW2_PERMISSION_KIND_UNKNOWN_PERMISSION;
    args->get_PermissionKind(&kind);
    ComRef<ICoreWebView2PermissionRequestedEventArgs3> args3;
    args->QueryInterface(IID_ICoreWebView2PermissionRequestedEventArgs3, args3.putVoid());
    if (args3) args3->put_SavesInProfile(FALSE);
    switch (permissionFor(trusted(takeText(uri)), static_cast<int>(kind))) {
    case PermissionAnswer::Allow:
        args->put_State(COREWEBVIEW2_PERMISSION_STATE_ALLOW);
        break;
    case PermissionAnswer::Deny:
        args->put_State(COREWEBVIEW2_PERMISSION_STATE_DENY);
        break;
    case PermissionAnswer::AskUser:
        break;
    }
}

class PermissionHandler : public Callback<ICoreWebView2PermissionRequestedEventHandler,
                                          IID_ICoreWebView2PermissionRequestedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2PermissionRequestedEventArgs* args) override {
        if (args) answerPermission(args);
        return S_OK;
    }
} g_permissionHandler;

// A frame's request, answered here, is not raised again on the web view.
class FramePermissionHandler
    : public Callback<ICoreWebView2FramePermissionRequestedEventHandler,
                      IID_ICoreWebView2FramePermissionRequestedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2Frame*,
                                     ICoreWebView2PermissionRequestedEventArgs2* args) override {
        if (!args) return S_OK;
        answerPermission(args);
        args->put_Handled(TRUE);
        return S_OK;
    }
} g_framePermissionHandler;

class FrameCreatedHandler : public Callback<ICoreWebView2FrameCreatedEventHandler,
                                            IID_ICoreWebView2FrameCreatedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2FrameCreatedEventArgs* args) override {
        ComRef<ICoreWebView2Frame> frame;
        if (args) args->get_Frame(frame.put());
        ComRef<ICoreWebView2Frame3> frame3;
        if (frame) frame->QueryInterface(IID_ICoreWebView2Frame3, frame3.putVoid());
        EventRegistrationToken token;
        if (frame3) frame3->add_PermissionRequested(&g_framePermissionHandler, &token);
        return S_OK;
    }
} g_frameCreatedHandler;

class PermissionResetHandler
    : public Callback<ICoreWebView2SetPermissionStateCompletedHandler,
                      IID_ICoreWebView2SetPermissionStateCompletedHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT) override { return S_OK; }
} g_permissionResetHandler;

// What an earlier version, or the runtime's own prompt, left in the profile for
// another origin goes back to the default, so that nothing but the policy
// answers.
class PermissionSettingsHandler
    : public Callback<ICoreWebView2GetNonDefaultPermissionSettingsCompletedHandler,
                      IID_ICoreWebView2GetNonDefaultPermissionSettingsCompletedHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result,
                                     ICoreWebView2PermissionSettingCollectionView* kept) override {
        if (FAILED(result) || !kept || !profile) return S_OK;
        UINT32 count = 0;
        kept->get_Count(&count);
        for (UINT32 i = 0; i < count; ++i) {
            ComRef<ICoreWebView2PermissionSetting> setting;
            kept->GetValueAtIndex(i, setting.put());
            if (!setting) continue;
            LPWSTR origin = nullptr;
            setting->get_PermissionOrigin(&origin);
            const std::wstring from = takeText(origin);
            COREWEBVIEW2_PERMISSION_KIND kind = COREWEBVIEW2_PERMISSION_KIND_UNKNOWN_PERMISSION;
            setting->get_PermissionKind(&kind);
            if (!trusted(from)) {
                profile->SetPermissionState(kind, from.c_str(),
                                            COREWEBVIEW2_PERMISSION_STATE_DEFAULT,
                                            &g_permissionResetHandler);
            }
        }
        return S_OK;
    }

    ComRef<ICoreWebView2Profile4> profile;
} g_permissionSettingsHandler;

void forgetOtherOriginsPermissions(ICoreWebView2* webView) {
    ComRef<ICoreWebView2_13> webView13;
    webView->QueryInterface(IID_ICoreWebView2_13, webView13.putVoid());
    ComRef<ICoreWebView2Profile> profile;
    if (webView13) webView13->get_Profile(profile.put());
    ComRef<ICoreWebView2Profile4>& profile4 = g_permissionSettingsHandler.profile;
    if (profile) profile->QueryInterface(IID_ICoreWebView2Profile4, profile4.putVoid());
    if (profile4) profile4->GetNonDefaultPermissionSettings(&g_permissionSettingsHandler);
}

// ---- notifications ----

// The tray's callbacks do not say which balloon they are about, and each balloon
// stays in the notification centre: one notification is shown at a time.
ComRef<ICoreWebView2Notification> g_shown;
EventRegistrationToken g_closeToken{};

// Takes the shown notification away, reporting it closed unless the page
// closed it itself.
void releaseShown(bool report) {
    if (!g_shown) return;
    g_shown->remove_CloseRequested(g_closeToken);
    if (report) g_shown->ReportClosed();
    g_shown.reset();
}

// An empty text takes the balloon away.
void hideBalloon() {
    NOTIFYICONDATAW data = g_shell.tray;
    data.uFlags = NIF_INFO;
    data.szInfo[0] = L'\0';
    data.szInfoTitle[0] = L'\0';
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

class CloseRequestedHandler
    : public Callback<ICoreWebView2NotificationCloseRequestedEventHandler,
                      IID_ICoreWebView2NotificationCloseRequestedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2Notification* sender, IUnknown*) override {
        if (sender != g_shown.get()) return S_OK;
        hideBalloon();
        releaseShown(false);
        return S_OK;
    }
} g_closeRequestedHandler;

std::wstring
notificationText(ICoreWebView2Notification* notification,
                 HRESULT (STDMETHODCALLTYPE ICoreWebView2Notification::*get)(LPWSTR*)) {
    LPWSTR text = nullptr;
    (notification->*get)(&text);
    return takeText(text);
}

// The window behind others flashes its taskbar button until it comes to the
// front; hidden in the tray, the notification itself is the signal.
void flashForAttention() {
    HWND window = g_shell.mainWindow;
    if (!IsWindowVisible(window) || GetForegroundWindow() == window) return;
    FLASHWINFO flash{};
    flash.cbSize = sizeof(flash);
    flash.hwnd = window;
    flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
    FlashWindowEx(&flash);
}

void show(ICoreWebView2Notification* notification) {
    const std::wstring title =
        notificationText(notification, &ICoreWebView2Notification::get_Title);
    std::wstring body = notificationText(notification, &ICoreWebView2Notification::get_Body);
    // A balloon without text is no balloon.
    if (body.empty()) body = title;
    if (body.empty()) {
        notification->ReportClosed();
        return;
    }
    BOOL silent = FALSE;
    notification->get_IsSilent(&silent);

    NOTIFYICONDATAW data = g_shell.tray;
    data.uFlags = NIF_INFO;
    lstrcpynW(data.szInfoTitle, balloonText(title, BALLOON_TITLE_MAX).c_str(),
              ARRAYSIZE(data.szInfoTitle));
    lstrcpynW(data.szInfo, balloonText(body, BALLOON_TEXT_MAX).c_str(), ARRAYSIZE(data.szInfo));
    data.dwInfoFlags = NIIF_NONE | NIIF_RESPECT_QUIET_TIME | (silent ? NIIF_NOSOUND : 0);
    if (!Shell_NotifyIconW(NIM_MODIFY, &data)) {
        notification->ReportClosed();
        return;
    }
    releaseShown(true);
    g_shown.assign(notification);
    notification->add_CloseRequested(&g_closeRequestedHandler, &g_closeToken);
    notification->ReportShown();
    flashForAttention();
}

// Shown at once, so no deferral is needed: the page's script waits only for
// this call. Handled in every case, since an unhandled notification would be
// shown by the runtime itself; one from another origin is reported closed.
class NotificationReceivedHandler
    : public Callback<ICoreWebView2NotificationReceivedEventHandler,
                      IID_ICoreWebView2NotificationReceivedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2NotificationReceivedEventArgs* args) override {
        if (!args) return S_OK;
        args->put_Handled(TRUE);
        ComRef<ICoreWebView2Notification> notification;
        args->get_Notification(notification.put());
        if (!notification) return S_OK;
        LPWSTR origin = nullptr;
        args->get_SenderOrigin(&origin);
        if (trusted(takeText(origin)))
            show(notification.get());
        else
            notification->ReportClosed();
        return S_OK;
    }
} g_notificationHandler;

} // namespace

void watchPagePermissionsAndNotifications(ICoreWebView2* webView) {
    EventRegistrationToken token;
    webView->add_PermissionRequested(&g_permissionHandler, &token);
    ComRef<ICoreWebView2_4> webView4;
    webView->QueryInterface(IID_ICoreWebView2_4, webView4.putVoid());
    if (webView4) webView4->add_FrameCreated(&g_frameCreatedHandler, &token);
    ComRef<ICoreWebView2_24> webView24;
    webView->QueryInterface(IID_ICoreWebView2_24, webView24.putVoid());
    if (webView24) webView24->add_NotificationReceived(&g_notificationHandler, &token);
    forgetOtherOriginsPermissions(webView);
}

// Still held after a click: its toast stays in the notification centre until a
// newer one takes its place.
void onNotificationClicked() {
    if (g_shown) g_shown->ReportClicked();
}

void onNotificationTimedOut() {
    releaseShown(true);
}
