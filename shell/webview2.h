#pragma once

// Our own declarations of the WebView2 COM interfaces the shell uses, laid out
// slot for slot like Microsoft's published SDK (mingw-w64 ships no WebView2
// header). Every interface keeps all of its methods, used or not, because the
// position of a method in the vtable is the ABI: pure virtual HRESULT methods
// only, single inheritance from IUnknown, no destructor, no overloads.

#include <windows.h>
#include <objidl.h>
#include <eventtoken.h>

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2EnvironmentOptions;
struct ICoreWebView2Settings;
struct ICoreWebView2HttpRequestHeaders;
struct ICoreWebView2WebResourceResponse;
struct ICoreWebView2DevToolsProtocolEventReceiver;
struct ICoreWebView2WebMessageReceivedEventArgs;
struct ICoreWebView2NavigationStartingEventArgs;
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;
struct ICoreWebView2WebMessageReceivedEventHandler;
struct ICoreWebView2NavigationStartingEventHandler;
struct ICoreWebView2ProcessFailedEventArgs;
struct ICoreWebView2ProcessFailedEventHandler;
struct ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler;
struct ICoreWebView2ExecuteScriptCompletedHandler;

// Handlers and events we never register or call only need to hold their slot;
// their argument interfaces stay opaque.
typedef IUnknown ICoreWebView2OpaqueHandler;

#define TOLVIN_WV2_EVENT(Name, Handler)                                                            \
    virtual HRESULT STDMETHODCALLTYPE add_##Name(Handler* eventHandler,                            \
                                                 EventRegistrationToken* token) = 0;               \
    virtual HRESULT STDMETHODCALLTYPE remove_##Name(EventRegistrationToken token) = 0;

#define TOLVIN_WV2_BOOL_PROPERTY(Name)                                                             \
    virtual HRESULT STDMETHODCALLTYPE get_##Name(BOOL* value) = 0;                                 \
    virtual HRESULT STDMETHODCALLTYPE put_##Name(BOOL value) = 0;

struct ICoreWebView2Environment : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    CreateWebResourceResponse(IStream* content, int statusCode, LPCWSTR reasonPhrase,
                              LPCWSTR headers, ICoreWebView2WebResourceResponse** response) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* versionInfo) = 0;
    TOLVIN_WV2_EVENT(NewBrowserVersionAvailable, ICoreWebView2OpaqueHandler)
};

struct ICoreWebView2Controller : public IUnknown {
    TOLVIN_WV2_BOOL_PROPERTY(IsVisible)
    virtual HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) = 0;
    // RECT goes by value: on x64 the caller passes a pointer to its own copy.
    virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoomFactor) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoomFactor) = 0;
    TOLVIN_WV2_EVENT(ZoomFactorChanged, ICoreWebView2OpaqueHandler)
    virtual HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoomFactor) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFocus(int reason) = 0;
    TOLVIN_WV2_EVENT(MoveFocusRequested, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(GotFocus, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(LostFocus, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(AcceleratorKeyPressed, ICoreWebView2OpaqueHandler)
    virtual HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parentWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parentWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** coreWebView2) = 0;
};

struct ICoreWebView2 : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) = 0;
    TOLVIN_WV2_EVENT(NavigationStarting, ICoreWebView2NavigationStartingEventHandler)
    TOLVIN_WV2_EVENT(ContentLoading, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(SourceChanged, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(HistoryChanged, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(NavigationCompleted, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(FrameNavigationStarting, ICoreWebView2NavigationStartingEventHandler)
    TOLVIN_WV2_EVENT(FrameNavigationCompleted, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(ScriptDialogOpening, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(PermissionRequested, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(ProcessFailed, ICoreWebView2ProcessFailedEventHandler)
    virtual HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
        LPCWSTR javaScript,
        ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR id) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    ExecuteScript(LPCWSTR javaScript, ICoreWebView2ExecuteScriptCompletedHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CapturePreview(int imageFormat, IStream* imageStream,
                                                     ICoreWebView2OpaqueHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reload() = 0;
    virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR webMessageAsJson) = 0;
    virtual HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR webMessageAsString) = 0;
    TOLVIN_WV2_EVENT(WebMessageReceived, ICoreWebView2WebMessageReceivedEventHandler)
    virtual HRESULT STDMETHODCALLTYPE CallDevToolsProtocolMethod(
        LPCWSTR methodName, LPCWSTR parametersAsJson, ICoreWebView2OpaqueHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL* canGoBack) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL* canGoForward) = 0;
    virtual HRESULT STDMETHODCALLTYPE GoBack() = 0;
    virtual HRESULT STDMETHODCALLTYPE GoForward() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(
        LPCWSTR eventName, ICoreWebView2DevToolsProtocolEventReceiver** receiver) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    TOLVIN_WV2_EVENT(NewWindowRequested, ICoreWebView2OpaqueHandler)
    TOLVIN_WV2_EVENT(DocumentTitleChanged, ICoreWebView2OpaqueHandler)
    virtual HRESULT STDMETHODCALLTYPE get_DocumentTitle(LPWSTR* title) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddHostObjectToScript(LPCWSTR name, VARIANT* object) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveHostObjectFromScript(LPCWSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDevToolsWindow() = 0;
    TOLVIN_WV2_EVENT(ContainsFullScreenElementChanged, ICoreWebView2OpaqueHandler)
    virtual HRESULT STDMETHODCALLTYPE get_ContainsFullScreenElement(BOOL* value) = 0;
    TOLVIN_WV2_EVENT(WebResourceRequested, ICoreWebView2OpaqueHandler)
    virtual HRESULT STDMETHODCALLTYPE AddWebResourceRequestedFilter(LPCWSTR uri,
                                                                    int resourceContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveWebResourceRequestedFilter(LPCWSTR uri,
                                                                       int resourceContext) = 0;
    TOLVIN_WV2_EVENT(WindowCloseRequested, ICoreWebView2OpaqueHandler)
};

struct ICoreWebView2Settings : public IUnknown {
    TOLVIN_WV2_BOOL_PROPERTY(IsScriptEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(IsWebMessageEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(AreDefaultScriptDialogsEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(IsStatusBarEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(AreDevToolsEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(AreDefaultContextMenusEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(AreHostObjectsAllowed)
    TOLVIN_WV2_BOOL_PROPERTY(IsZoomControlEnabled)
    TOLVIN_WV2_BOOL_PROPERTY(IsBuiltInErrorPageEnabled)
};

struct ICoreWebView2WebMessageReceivedEventArgs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* webMessageAsJson) = 0;
    virtual HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* webMessageAsString) = 0;
};

struct ICoreWebView2NavigationStartingEventArgs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* isUserInitiated) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* isRedirected) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    get_RequestHeaders(ICoreWebView2HttpRequestHeaders** requestHeaders) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* navigationId) = 0;
};

// Which process failed, and how. Later kinds (GPU, utility and other processes)
// recover by themselves.
enum COREWEBVIEW2_PROCESS_FAILED_KIND {
    COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED = 0,
    COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED = 1,
    COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE = 2,
};

struct ICoreWebView2ProcessFailedEventArgs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE
    get_ProcessFailedKind(COREWEBVIEW2_PROCESS_FAILED_KIND* processFailedKind) = 0;
};

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Environment* createdEnvironment) = 0;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Controller* createdController) = 0;
};

struct ICoreWebView2WebMessageReceivedEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2WebMessageReceivedEventArgs* args) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2NavigationStartingEventArgs* args) = 0;
};

struct ICoreWebView2ProcessFailedEventHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2ProcessFailedEventArgs* args) = 0;
};

struct ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, LPCWSTR id) = 0;
};

struct ICoreWebView2ExecuteScriptCompletedHandler : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, LPCWSTR resultObjectAsJson) = 0;
};

#undef TOLVIN_WV2_EVENT
#undef TOLVIN_WV2_BOOL_PROPERTY

// Interface identifiers, so that __uuidof and IID_PPV_ARGS work with these types.
__CRT_UUID_DECL(ICoreWebView2Environment, 0xb96d755e, 0x0319, 0x4e92, 0xa2, 0x96, 0x23, 0x43, 0x6f,
                0x46, 0xa1, 0xfc)
__CRT_UUID_DECL(ICoreWebView2Controller, 0x4d00c0d1, 0x9434, 0x4eb6, 0x80, 0x78, 0x86, 0x97, 0xa5,
                0x60, 0x33, 0x4f)
__CRT_UUID_DECL(ICoreWebView2, 0x76eceacb, 0x0462, 0x4d94, 0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77,
                0x5e)
__CRT_UUID_DECL(ICoreWebView2Settings, 0xe562e4f0, 0xd7fa, 0x43ac, 0x8d, 0x71, 0xc0, 0x51, 0x50,
                0x49, 0x9f, 0x00)
__CRT_UUID_DECL(ICoreWebView2WebMessageReceivedEventArgs, 0x0f99a40c, 0xe962, 0x4207, 0x9e, 0x92,
                0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49)
__CRT_UUID_DECL(ICoreWebView2NavigationStartingEventArgs, 0x5b495469, 0xe119, 0x438a, 0x9b, 0x18,
                0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49)
__CRT_UUID_DECL(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, 0x4e8a3389, 0xc9d8,
                0x4bd2, 0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d)
__CRT_UUID_DECL(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, 0x6c4819f3, 0xc9b7,
                0x4260, 0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c)
__CRT_UUID_DECL(ICoreWebView2WebMessageReceivedEventHandler, 0x57213f19, 0x00e6, 0x49fa, 0x8e, 0x07,
                0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2)
__CRT_UUID_DECL(ICoreWebView2NavigationStartingEventHandler, 0x9adbe429, 0xf36d, 0x432b, 0x9d, 0xdc,
                0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3)
__CRT_UUID_DECL(ICoreWebView2ProcessFailedEventArgs, 0x8155a9a4, 0x1474, 0x4a86, 0x8c, 0xae, 0x15,
                0x1b, 0x0f, 0xa6, 0xb8, 0xca)
__CRT_UUID_DECL(ICoreWebView2ProcessFailedEventHandler, 0x79e0aea4, 0x990b, 0x42d9, 0xaa, 0x1d,
                0x0f, 0xcc, 0x2e, 0x5b, 0xc7, 0xf1)
__CRT_UUID_DECL(ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler, 0xb99369f3,
                0x9b11, 0x47b5, 0xbc, 0x6f, 0x8e, 0x78, 0x95, 0xfc, 0xea, 0x17)
__CRT_UUID_DECL(ICoreWebView2ExecuteScriptCompletedHandler, 0x49511172, 0xcc67, 0x4bca, 0x99, 0x23,
                0x13, 0x71, 0x12, 0xf4, 0xc4, 0xcc)

// The loader's one export we call, looked up with GetProcAddress.
typedef HRESULT(STDAPICALLTYPE* CreateEnvironmentWithOptionsFn)(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
    ICoreWebView2EnvironmentOptions* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);
