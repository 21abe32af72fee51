#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>
#include <utility>

#include "appaudio/app_audio_win.h"
#include "bridge/bridge_win.h"
#include "bridge/page_scripts.h"
#include "common/callback_win.h"
#include "shell/deployment.h"
#include "desktop/desktop_win.h"
#include "diag/diag.h"
#include "notify/notify_win.h"
#include "shell/origin.h"
#include "shell/recovery.h"
#include "shell/shell_state_win.h"

namespace {

// The bridge script runs in every document the view reaches, by a link or a
// redirect too; only the page we opened and the service's own pages may ask for
// the native surface.
bool fromTrustedPage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    LPWSTR source = nullptr;
    args->get_Source(&source);
    const std::wstring from = takeText(source);
    if (trustedSource(from, g_shell.serverUrl, SERVICE_ORIGIN)) return true;
    OutputDebugStringW((L"Tolvin: page request from " + from + L" dropped\n").c_str());
    return false;
}

class WebMessageReceivedHandler : public Callback<ICoreWebView2WebMessageReceivedEventHandler,
                                                  IID_ICoreWebView2WebMessageReceivedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2WebMessageReceivedEventArgs* args) override {
        if (!args || !fromTrustedPage(args)) return S_OK;
        LPWSTR json = nullptr;
        args->get_WebMessageAsJson(&json);
        // The JSON form keeps a bare string's quotes, which recognition relies on.
        const std::wstring text = takeText(json);
        if (!text.empty()) dispatchWebMessage(text);
        return S_OK;
    }
};

// Raised once a new document replaces the page, not for a navigation that
// leaves it in place (a mailto: link, a download, a cancelled navigation).
class ContentLoadingHandler : public Callback<ICoreWebView2ContentLoadingEventHandler,
                                              IID_ICoreWebView2ContentLoadingEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2ContentLoadingEventArgs*) override {
        // A new document is in no call until it says so; a page reloaded during a
        // call must not hold back an update for the rest of the session.
        g_shell.inCall = false;
        // Every new document, the first one and reloads included, ends a share.
        stopAppAudio();
        followPageVisibility(g_shell.mainWindow);
        // A count of the page that left would stay on the taskbar for good.
        setUnreadCount(0);
        return S_OK;
    }
};

// The document of the frame that asked for a new window; a runtime too old to
// say gives the web view's own document.
std::wstring requestingFrame(ICoreWebView2NewWindowRequestedEventArgs* args) {
    LPWSTR source = nullptr;
    ComRef<ICoreWebView2NewWindowRequestedEventArgs3> args3;
    args->QueryInterface(IID_ICoreWebView2NewWindowRequestedEventArgs3, args3.putVoid());
    ComRef<ICoreWebView2FrameInfo> frame;
    if (args3) args3->get_OriginalSourceFrameInfo(frame.put());
    if (frame)
        frame->get_Source(&source);
    else if (g_shell.webView)
        g_shell.webView->get_Source(&source);
    return takeText(source);
}

// A popup of the runtime's own would carry no bridge: other sites and mail go to
// the user's programs when the user asked, and nothing else opens but the
// page's own windows.
class NewWindowRequestedHandler : public Callback<ICoreWebView2NewWindowRequestedEventHandler,
                                                  IID_ICoreWebView2NewWindowRequestedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2NewWindowRequestedEventArgs* args) override {
        if (!args) return S_OK;
        LPWSTR uri = nullptr;
        args->get_Uri(&uri);
        std::wstring address = takeText(uri);
        BOOL userInitiated = FALSE;
        args->get_IsUserInitiated(&userInitiated);
        const std::wstring frame = requestingFrame(args);
        const NewWindow target = newWindowFor({address, userInitiated != FALSE, frame},
                                              g_shell.serverUrl, SERVICE_ORIGIN);
        if (target == NewWindow::Runtime) return S_OK;
        if (target == NewWindow::OpenOutside) openOutside(std::move(address));
        args->put_Handled(TRUE);
        return S_OK;
    }
};

void requestEnvironment();

int g_startRetries = 0;
HRESULT g_startFailure = S_OK; // a failure the window procedure is to show
bool g_rebuildPending = false; // the window procedure is to ask for a new web view

// A failed start is retried, or shown in a box, from the window procedure: never
// inside the runtime's callback, where a message box's modal loop would run.
void startFailed(HRESULT result) {
    const StartFailure next = onStartFailed(static_cast<uint32_t>(result), g_startRetries);
    logEvent(LogLevel::Warn, LogSource::WebView,
             startFailureLogText(static_cast<uint32_t>(result), next));
    if (next == StartFailure::Retry) ++g_startRetries;
    g_startFailure = next == StartFailure::Retry ? S_OK : result;
    SetTimer(g_shell.mainWindow, TIMER_WEBVIEW_START,
             next == StartFailure::Retry ? START_RETRY_DELAY_MS : USER_TIMER_MINIMUM, nullptr);
}

void logProcessFailure(ICoreWebView2ProcessFailedEventArgs* args,
                       COREWEBVIEW2_PROCESS_FAILED_KIND kind, Recovery recovery) {
    COREWEBVIEW2_PROCESS_FAILED_REASON reason = COREWEBVIEW2_PROCESS_FAILED_REASON_UNEXPECTED;
    int exitCode = 0;
    ComRef<ICoreWebView2ProcessFailedEventArgs2> more;
    args->QueryInterface(IID_ICoreWebView2ProcessFailedEventArgs2, more.putVoid());
    const bool detailed =
        more && SUCCEEDED(more->get_Reason(&reason)) && SUCCEEDED(more->get_ExitCode(&exitCode));
    logEvent(LogLevel::Warn, LogSource::WebView,
             processFailureLogText(
                 kind,
                 detailed ? std::optional(ProcessExit{static_cast<int>(reason), exitCode})
                          : std::nullopt,
                 recovery));
}

void logRuntimeVersion(ICoreWebView2Environment* environment) {
    LPWSTR version = nullptr;
    environment->get_BrowserVersionString(&version);
    const std::wstring text = takeText(version);
    if (!text.empty()) logEvent(LogLevel::Info, LogSource::WebView, L"runtime " + text);
}

// A renderer that died or keeps hanging is reloaded. A browser process that died
// has closed the web view: a new environment and controller go through the same
// set-up, a few times a minute at most, after which the window says so. Either
// way the page's document is gone, and with it any share it started.
class ProcessFailedHandler : public Callback<ICoreWebView2ProcessFailedEventHandler,
                                             IID_ICoreWebView2ProcessFailedEventHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2ProcessFailedEventArgs* args) override {
        COREWEBVIEW2_PROCESS_FAILED_KIND kind;
        if (!args || FAILED(args->get_ProcessFailedKind(&kind))) return S_OK;
        const Recovery recovery = rebuilds.onProcessFailed(kind, GetTickCount64());
        logProcessFailure(args, kind, recovery);
        if (recovery != Recovery::Nothing) stopAppAudio();
        switch (recovery) {
        case Recovery::Reload:
            if (g_shell.webView) g_shell.webView->Reload();
            break;
        case Recovery::Rebuild:
            g_shell.webView.reset();
            g_shell.controller.reset();
            g_rebuildPending = true;
            PostMessageW(g_shell.mainWindow, WM_REBUILD_WEBVIEW, 0, 0);
            break;
        case Recovery::GiveUp:
            g_shell.webView.reset();
            g_shell.controller.reset();
            g_shell.pageNotice = GAVE_UP_TEXT;
            InvalidateRect(g_shell.mainWindow, nullptr, TRUE);
            break;
        case Recovery::Nothing:
            break;
        }
        return S_OK;
    }

  private:
    BrowserRebuilds rebuilds;
};

WebMessageReceivedHandler g_messageHandler;
ContentLoadingHandler g_contentLoadingHandler;
NewWindowRequestedHandler g_newWindowHandler;
ProcessFailedHandler g_processFailedHandler;
std::optional<std::wstring> g_userDataFolder; // none: the runtime's default

void enablePageFeatures(ICoreWebView2* webView) {
    ComRef<ICoreWebView2Settings> settings;
    webView->get_Settings(settings.put());
    if (!settings) return;
    settings->put_IsScriptEnabled(TRUE);
    settings->put_AreDefaultScriptDialogsEnabled(TRUE);
    settings->put_IsWebMessageEnabled(TRUE);
}

// One handler of each kind serves every start and retry, as the event handlers do.
class ControllerCompletedHandler
    : public Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                      IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Controller* controller) override {
        HWND window = g_shell.mainWindow;
        if (FAILED(result) || !controller) {
            startFailed(FAILED(result) ? result : E_POINTER);
            return result;
        }
        g_startRetries = 0;
        if (controller != g_shell.controller.get()) g_shell.controller.assign(controller);
        controller->get_CoreWebView2(g_shell.webView.put());
        RECT bounds;
        GetClientRect(window, &bounds);
        controller->put_Bounds(bounds);
        followPageVisibility(window, true);

        // A controller without a web view still sizes with the window; the page
        // set-up needs the web view, so the window stays empty.
        ICoreWebView2* webView = g_shell.webView.get();
        if (!webView) return S_OK;
        enablePageFeatures(webView);
        // Decided once: every document of this web view sees the same answer.
        const std::wstring script = bridgeScript(helperAvailable());
        EventRegistrationToken token;
        webView->add_WebMessageReceived(&g_messageHandler, &token);
        webView->add_ContentLoading(&g_contentLoadingHandler, &token);
        webView->add_NewWindowRequested(&g_newWindowHandler, &token);
        webView->add_ProcessFailed(&g_processFailedHandler, &token);
        watchPagePermissionsAndNotifications(webView);
        // Before the navigation, so that the first document already has the bridge.
        webView->AddScriptToExecuteOnDocumentCreated(script.c_str(), nullptr);
        loadSettings();
        // The origin only: a path or query can hold a token.
        logEvent(LogLevel::Info, LogSource::WebView,
                 L"navigating to " + originOf(g_shell.serverUrl));
        webView->Navigate(g_shell.serverUrl.c_str());
        return S_OK;
    }
} g_controllerHandler;

class EnvironmentCompletedHandler
    : public Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                      IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> {
  public:
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result,
                                     ICoreWebView2Environment* environment) override {
        if (FAILED(result) || !environment) {
            startFailed(FAILED(result) ? result : E_POINTER);
            return result;
        }
        logRuntimeVersion(environment);
        const HRESULT asked =
            environment->CreateCoreWebView2Controller(g_shell.mainWindow, &g_controllerHandler);
        if (FAILED(asked)) startFailed(asked);
        return S_OK;
    }
} g_environmentHandler;

// Without a runtime the loader answers at once and never calls the handler.
void requestEnvironment() {
    const wchar_t* folder = g_userDataFolder ? g_userDataFolder->c_str() : nullptr;
    const HRESULT result = g_shell.loaderEntry(nullptr, folder, nullptr, &g_environmentHandler);
    if (FAILED(result)) startFailed(result);
}

} // namespace

void showStartFailure(HRESULT result) {
    if (static_cast<uint32_t>(result) == NO_RUNTIME) {
        MessageBoxW(g_shell.mainWindow,
                    L"Microsoft Edge WebView2 Runtime is required to run Tolvin.\n"
                    L"Please download and install it from Microsoft's website.",
                    L"WebView2 Runtime Missing", MB_ICONWARNING);
    } else {
        MessageBoxW(g_shell.mainWindow, startFailedText(static_cast<uint32_t>(result)).c_str(),
                    L"Tolvin", MB_ICONERROR);
    }
}

void onWebViewStartTimer() {
    KillTimer(g_shell.mainWindow, TIMER_WEBVIEW_START);
    const HRESULT failure = std::exchange(g_startFailure, S_OK);
    if (failure == S_OK)
        requestEnvironment();
    else
        showStartFailure(failure);
}

void onRebuildWebView() {
    if (std::exchange(g_rebuildPending, false)) requestEnvironment();
}

void requestWebViewEnvironment(const wchar_t* userDataFolder) {
    if (userDataFolder) g_userDataFolder = userDataFolder;
    requestEnvironment();
}
