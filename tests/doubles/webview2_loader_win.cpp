// A stand-in for WebView2Loader.dll and the runtime behind it. It exports
// CreateCoreWebView2EnvironmentWithOptions and plays the environment, controller,
// web view, settings and event-argument objects. Every call it receives is
// reported, in order, as one JSON line over a loopback TCP connection to the test
// (port in TOLVIN_STANDIN_PORT); the test answers with text commands, which run
// on the thread that asked for the environment, from its message loop, as the
// runtime's callbacks do. Living inside the program, it also reports some of the
// program's own platform calls (through its import table: keyboard hooks, hot
// keys, timers) and the popup menu it shows.
//
// With TOLVIN_STANDIN_MODE=chromium the test's end is the development web view's
// driver, which plays the runtime with a real page in Chromium; the page then
// shows in Chromium's own window, and the program's window says so.
//
// The vtables are written here slot by slot from the published interface
// layout, independently of the program's own header, so that a slot mistake in
// one cannot hide in the other.

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <eventtoken.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/doubles/json_win.h"

namespace {

// ---- the connection to the test ----

SOCKET g_socket = INVALID_SOCKET;
HWND g_commandWindow = nullptr;
HWND g_mainWindow = nullptr;
constexpr UINT WM_COMMAND_LINE = WM_APP + 7;

// What happens between the load of this DLL and the program's first call into
// it waits here, and reaches the test first once the connection exists.
std::vector<std::string> g_early;
bool g_connectTried = false;

void report(const std::string& json) {
    if (!g_connectTried) g_early.push_back(json);
    if (g_socket == INVALID_SOCKET) return;
    const std::string line = json + "\n";
    send(g_socket, line.data(), static_cast<int>(line.size()), 0);
}

void reportError(const char* text) {
    report(JsonObject().add("error", jsonText(text)).str());
}

void readCommands() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const int got = recv(g_socket, buffer, sizeof(buffer), 0);
        if (got <= 0) return;
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            PostMessageW(g_commandWindow, WM_COMMAND_LINE, 0,
                         reinterpret_cast<LPARAM>(new std::string(pending.substr(0, end))));
            pending.erase(0, end + 1);
        }
    }
}

// ---- COM objects with explicit vtables ----

struct Object {
    void** vtable = nullptr;
    const char* kind = nullptr;
    const IID* iid = nullptr;
    LONG refs = 1;
    std::wstring text;             // the message of a message argument object
    std::wstring source;           // the address of the document that sent it
    std::vector<const IID*> later; // later versions of the interface the same vtable serves
    BOOL handled = FALSE;          // what the program set on a new-window request
    BOOL byUser = TRUE;            // whether the user asked for that new window
    // A permission request's kind, the state the program set, and whether the
    // profile is to keep it; a notification's body and silent flag.
    int permissionKind = 0;
    int state = 0;
    BOOL savesInProfile = TRUE;
    std::wstring body;
    BOOL silent = FALSE;
};

std::vector<Object*> g_alive;

HRESULT STDMETHODCALLTYPE queryInterface(Object* self, REFIID id, void** out) {
    const bool later = std::any_of(self->later.begin(), self->later.end(),
                                   [&](const IID* each) { return IsEqualIID(id, *each); });
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, *self->iid) || later) {
        InterlockedIncrement(&self->refs);
        *out = self;
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE addRef(Object* self) {
    return InterlockedIncrement(&self->refs);
}

ULONG STDMETHODCALLTYPE release(Object* self) {
    const LONG refs = InterlockedDecrement(&self->refs);
    if (refs == 0) {
        report(
            JsonObject().add("event", jsonText("freed")).add("object", jsonText(self->kind)).str());
        std::erase(g_alive, self);
        delete self;
    }
    return static_cast<ULONG>(refs);
}

// Slots the program is not expected to call answer E_NOTIMPL and say so.
template <size_t Slot> HRESULT STDMETHODCALLTYPE unexpected(Object* self) {
    report(JsonObject()
               .add("call", jsonText("unexpected"))
               .add("object", jsonText(self->kind))
               .add("slot", jsonNumber(Slot))
               .str());
    return E_NOTIMPL;
}

template <size_t... Slot> std::vector<void*> unexpectedSlots(std::index_sequence<Slot...>) {
    return {reinterpret_cast<void*>(&unexpected<Slot>)...};
}

// A vtable of `count` slots: IUnknown, the given methods, and reporting stubs.
void** makeVtable(size_t count, std::vector<std::pair<size_t, void*>> methods) {
    static std::vector<void*> stubs = unexpectedSlots(std::make_index_sequence<128>());
    void** table = new void*[count];
    for (size_t i = 0; i < count; ++i) table[i] = stubs[i];
    table[0] = reinterpret_cast<void*>(&queryInterface);
    table[1] = reinterpret_cast<void*>(&addRef);
    table[2] = reinterpret_cast<void*>(&release);
    for (auto& [slot, method] : methods) table[slot] = method;
    return table;
}

Object* create(void** vtable, const char* kind, const IID& iid) {
    Object* object = new Object;
    object->vtable = vtable;
    object->kind = kind;
    object->iid = &iid;
    g_alive.push_back(object);
    return object;
}

template <typename... A> HRESULT callSlot(void* object, size_t slot, A... args) {
    using Fn = HRESULT(STDMETHODCALLTYPE*)(void*, A...);
    return reinterpret_cast<Fn>((*static_cast<void***>(object))[slot])(object, args...);
}

template <typename T> void* fn(T method) {
    return reinterpret_cast<void*>(method);
}

constexpr IID IID_Environment = {
    0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
constexpr IID IID_Controller = {
    0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
constexpr IID IID_WebView = {
    0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
// ICoreWebView2_19: ICoreWebView2 and its eighteen successors, 121 slots.
constexpr IID IID_WebView19 = {
    0x6921f954, 0x79b0, 0x437f, {0xa9, 0x97, 0xc8, 0x58, 0x11, 0x89, 0x7c, 0x68}};
// ICoreWebView2_24: 128 slots, its last two the notifications'.
constexpr IID IID_WebView24 = {
    0x39a7ad55, 0x4287, 0x5cc1, {0x88, 0xa1, 0xc6, 0xf4, 0x58, 0x59, 0x38, 0x24}};
constexpr IID IID_PermissionArgs = {
    0x973ae2ef, 0xff18, 0x4894, {0x8f, 0xb2, 0x3c, 0x75, 0x8f, 0x04, 0x68, 0x10}};
constexpr IID IID_PermissionArgs3 = {
    0xe61670bc, 0x3dce, 0x4177, {0x86, 0xd2, 0xc6, 0x29, 0xae, 0x3c, 0xb6, 0xac}};
constexpr IID IID_NotificationArgs = {
    0x1512dd5b, 0x5514, 0x4f85, {0x88, 0x6e, 0x21, 0xc3, 0xa4, 0xc9, 0xcf, 0xe6}};
constexpr IID IID_Notification = {
    0xb7434d98, 0x6bc8, 0x419d, {0x9d, 0xa5, 0xfb, 0x5a, 0x96, 0xd4, 0xda, 0xcd}};
constexpr IID IID_TaskbarList3 = {
    0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};
constexpr CLSID CLSID_TaskbarListObject = {
    0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
constexpr IID IID_Settings = {
    0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}};
constexpr IID IID_MessageArgs = {
    0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
constexpr IID IID_NavigationArgs = {
    0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
constexpr IID IID_ProcessFailedArgs = {
    0x8155a9a4, 0x1474, 0x4a86, {0x8c, 0xae, 0x15, 0x1b, 0x0f, 0xa6, 0xb8, 0xca}};
constexpr IID IID_ContentLoadingArgs = {
    0x0c8a1275, 0x9b6b, 0x4901, {0x87, 0xad, 0x70, 0xdf, 0x25, 0xba, 0xfa, 0x6e}};
constexpr IID IID_NewWindowArgs = {
    0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};

constexpr IID IID_EnvironmentHandler = {
    0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
constexpr IID IID_ControllerHandler = {
    0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
constexpr IID IID_MessageHandler = {
    0x57213f19, 0x00e6, 0x49fa, {0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2}};
constexpr IID IID_NavigationHandler = {
    0x9adbe429, 0xf36d, 0x432b, {0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3}};
constexpr IID IID_ProcessFailedHandler = {
    0x79e0aea4, 0x990b, 0x42d9, {0xaa, 0x1d, 0x0f, 0xcc, 0x2e, 0x5b, 0xc7, 0xf1}};
constexpr IID IID_ContentLoadingHandler = {
    0x364471e7, 0xf2be, 0x4910, {0xbd, 0xba, 0xd7, 0x20, 0x77, 0xd5, 0x1c, 0x4b}};
constexpr IID IID_PermissionHandler = {
    0x15e1c6a3, 0xc72a, 0x4df3, {0x91, 0xd7, 0xd0, 0x97, 0xfb, 0xec, 0x6b, 0xfd}};
constexpr IID IID_NotificationHandler = {
    0x89c5d598, 0x8788, 0x423b, {0xbe, 0x97, 0xe6, 0xe0, 0x1c, 0x0f, 0x9e, 0xe3}};
constexpr IID IID_NewWindowHandler = {
    0xd4c185fe, 0xc81c, 0x4989, {0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51}};

// How a callback object answers IUnknown: what QueryInterface gives for
// IUnknown, for its own interface and for two it does not implement (a sibling
// handler's and the controller's), and what AddRef and Release return.
void reportHandlerRules(const char* name, void* handler, const IID& own, const IID& sibling) {
    auto ask = [handler](const IID& id) {
        void* out = reinterpret_cast<void*>(1);
        const HRESULT result = callSlot(handler, 0, &id, &out);
        if (result == S_OK && out == handler) return std::string("\"self\"");
        if (result == E_NOINTERFACE && out == nullptr) return std::string("\"refused\"");
        return jsonText("wrong");
    };
    const ULONG added = static_cast<ULONG>(callSlot(handler, 1));
    const ULONG released = static_cast<ULONG>(callSlot(handler, 2));
    report(JsonObject()
               .add("event", jsonText("handlerRules"))
               .add("handler", jsonText(name))
               .add("unknown", ask(IID_IUnknown))
               .add("own", ask(own))
               .add("sibling", ask(sibling))
               .add("controller", ask(IID_Controller))
               .add("addRef", jsonNumber(added))
               .add("release", jsonNumber(released))
               .str());
}

struct Runtime {
    void* environmentHandler = nullptr;
    void* controllerHandler = nullptr;
    Object* environment = nullptr;
    Object* controller = nullptr;
    Object* webView = nullptr;
    Object* settings = nullptr;
    void* messageHandler = nullptr;
    void* navigationHandler = nullptr;
    void* processFailedHandler = nullptr;
    void* contentLoadingHandler = nullptr;
    void* newWindowHandler = nullptr;
    void* permissionHandler = nullptr;
    void* notificationHandler = nullptr;
    Object* notification = nullptr; // the one being received
    INT64 nextToken = 1;
    std::wstring document; // the address the last navigation went to
} g;

std::string refsOf(Object* object) {
    return object ? jsonNumber(object->refs) : std::string("null");
}

// ---- the settings object ----

template <size_t Slot> HRESULT STDMETHODCALLTYPE putSetting(Object*, BOOL value) {
    static constexpr const char* names[] = {"",
                                            "",
                                            "",
                                            "",
                                            "put_IsScriptEnabled",
                                            "",
                                            "put_IsWebMessageEnabled",
                                            "",
                                            "put_AreDefaultScriptDialogsEnabled"};
    report(JsonObject().add("call", jsonText(names[Slot])).add("value", jsonNumber(value)).str());
    return S_OK;
}

// ---- the web view ----

HRESULT STDMETHODCALLTYPE webViewGetSettings(Object*, Object** out) {
    report(JsonObject().add("call", jsonText("get_Settings")).str());
    if (g.settings) addRef(g.settings);
    *out = g.settings;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewNavigate(Object*, LPCWSTR uri) {
    g.document = uri ? uri : L"";
    report(JsonObject().add("call", jsonText("Navigate")).add("uri", jsonString(uri)).str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewAddHandler(const char* call, void*& slot, void* handler,
                                            EventRegistrationToken* token, const char* kind,
                                            const IID& own, const IID& sibling) {
    if (handler) {
        reportHandlerRules(kind, handler, own, sibling);
        callSlot(handler, 1);
    }
    slot = handler;
    token->value = g.nextToken++;
    report(JsonObject().add("call", jsonText(call)).add("handler", jsonBool(handler)).str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewAddNavigationStarting(Object*, void* handler,
                                                       EventRegistrationToken* token) {
    return webViewAddHandler("add_NavigationStarting", g.navigationHandler, handler, token,
                             "NavigationStartingHandler", IID_NavigationHandler,
                             IID_MessageHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddWebMessageReceived(Object*, void* handler,
                                                       EventRegistrationToken* token) {
    return webViewAddHandler("add_WebMessageReceived", g.messageHandler, handler, token,
                             "WebMessageReceivedHandler", IID_MessageHandler,
                             IID_NavigationHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddProcessFailed(Object*, void* handler,
                                                  EventRegistrationToken* token) {
    return webViewAddHandler("add_ProcessFailed", g.processFailedHandler, handler, token,
                             "ProcessFailedHandler", IID_ProcessFailedHandler,
                             IID_NavigationHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddContentLoading(Object*, void* handler,
                                                   EventRegistrationToken* token) {
    return webViewAddHandler("add_ContentLoading", g.contentLoadingHandler, handler, token,
                             "ContentLoadingHandler", IID_ContentLoadingHandler,
                             IID_NavigationHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddNewWindowRequested(Object*, void* handler,
                                                       EventRegistrationToken* token) {
    return webViewAddHandler("add_NewWindowRequested", g.newWindowHandler, handler, token,
                             "NewWindowRequestedHandler", IID_NewWindowHandler,
                             IID_ContentLoadingHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddPermissionRequested(Object*, void* handler,
                                                        EventRegistrationToken* token) {
    return webViewAddHandler("add_PermissionRequested", g.permissionHandler, handler, token,
                             "PermissionRequestedHandler", IID_PermissionHandler,
                             IID_MessageHandler);
}

HRESULT STDMETHODCALLTYPE webViewAddNotificationReceived(Object*, void* handler,
                                                         EventRegistrationToken* token) {
    return webViewAddHandler("add_NotificationReceived", g.notificationHandler, handler, token,
                             "NotificationReceivedHandler", IID_NotificationHandler,
                             IID_PermissionHandler);
}

HRESULT STDMETHODCALLTYPE webViewReload(Object*) {
    report(JsonObject().add("call", jsonText("Reload")).str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewAddScript(Object*, LPCWSTR script, void* handler) {
    report(JsonObject()
               .add("call", jsonText("AddScriptToExecuteOnDocumentCreated"))
               .add("script", jsonString(script))
               .add("handler", jsonBool(handler))
               .str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewExecuteScript(Object*, LPCWSTR script, void* handler) {
    report(JsonObject()
               .add("call", jsonText("ExecuteScript"))
               .add("script", jsonString(script))
               .add("handler", jsonBool(handler))
               .add("at", jsonNumber(nowMicros()))
               .str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewPostJson(Object*, LPCWSTR json) {
    report(JsonObject()
               .add("call", jsonText("PostWebMessageAsJson"))
               .add("json", jsonString(json))
               .add("at", jsonNumber(nowMicros()))
               .str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webViewPutMemoryTarget(Object*, int level) {
    report(JsonObject()
               .add("call", jsonText("put_MemoryUsageTargetLevel"))
               .add("value", jsonNumber(level))
               .str());
    return S_OK;
}

// ---- the controller ----

// In Chromium mode: a note where the page would be, sized like the page.
HWND g_pageNote = nullptr;

bool chromiumMode() {
    wchar_t mode[16] = L"";
    GetEnvironmentVariableW(L"TOLVIN_STANDIN_MODE", mode, 16);
    return lstrcmpW(mode, L"chromium") == 0;
}

void showPageNote(HWND parent) {
    if (g_pageNote || !parent || !chromiumMode()) return;
    g_pageNote = CreateWindowExW(
        0, L"STATIC",
        L"\n\nThe page of this window is shown by Chromium, in its own window beside this one.",
        WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0, 0, 0, parent, nullptr, GetModuleHandleW(nullptr),
        nullptr);
}

HRESULT STDMETHODCALLTYPE controllerPutBounds(Object*, const RECT* bounds) {
    if (g_pageNote)
        MoveWindow(g_pageNote, bounds->left, bounds->top, bounds->right - bounds->left,
                   bounds->bottom - bounds->top, TRUE);
    report(JsonObject().add("call", jsonText("put_Bounds")).add("bounds", jsonRect(*bounds)).str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controllerNotifyMoved(Object*) {
    report(JsonObject().add("call", jsonText("NotifyParentWindowPositionChanged")).str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controllerPutIsVisible(Object*, BOOL visible) {
    report(JsonObject()
               .add("call", jsonText("put_IsVisible"))
               .add("value", jsonNumber(visible))
               .str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controllerGetWebView(Object*, Object** out) {
    report(JsonObject().add("call", jsonText("get_CoreWebView2")).str());
    *out = g.webView;
    if (!g.webView) return E_NOINTERFACE;
    addRef(g.webView);
    return S_OK;
}

// ---- the environment ----

HRESULT STDMETHODCALLTYPE environmentBrowserVersion(Object*, wchar_t** version) {
    constexpr wchar_t VERSION[] = L"120.0.2210.91";
    *version = static_cast<wchar_t*>(CoTaskMemAlloc(sizeof(VERSION)));
    return *version ? (wcscpy(*version, VERSION), S_OK) : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE environmentCreateController(Object*, HWND parent, void* handler) {
    report(JsonObject()
               .add("call", jsonText("CreateCoreWebView2Controller"))
               .add("parentIsMainWindow", jsonBool(parent && parent == g_mainWindow))
               .add("handler", jsonBool(handler))
               .str());
    showPageNote(parent);
    if (handler) {
        reportHandlerRules("ControllerCompletedHandler", handler, IID_ControllerHandler,
                           IID_EnvironmentHandler);
        callSlot(handler, 1);
    }
    g.controllerHandler = handler;
    return S_OK;
}

// ---- event arguments ----

HRESULT copyOut(const std::wstring& text, LPWSTR* out) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    CopyMemory(*out, text.c_str(), bytes);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE messageArgsGetJson(Object* self, LPWSTR* out) {
    return copyOut(self->text, out);
}

HRESULT STDMETHODCALLTYPE messageArgsGetSource(Object* self, LPWSTR* out) {
    return copyOut(self->source, out);
}

std::wstring widen(const std::string& utf8) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                        length);
    return wide;
}

// ---- the test's commands ----

HRESULT parseResult(const std::string& text) {
    return static_cast<HRESULT>(std::strtoul(text.c_str(), nullptr, 0));
}

void completeEnvironment(HRESULT result) {
    void* handler = std::exchange(g.environmentHandler, nullptr);
    if (!handler) return reportError("no environment request is waiting");
    if (SUCCEEDED(result)) {
        g.environment = create(makeVtable(8, {{3, fn(environmentCreateController)},
                                              {5, fn(environmentBrowserVersion)}}),
                               "Environment", IID_Environment);
    }
    const HRESULT answer = callSlot(handler, 3, result, g.environment);
    callSlot(handler, 2);
    report(JsonObject()
               .add("event", jsonText("environmentCompleted"))
               .add("returned", jsonNumber(answer))
               .str());
}

HRESULT STDMETHODCALLTYPE webViewGetSource(Object*, LPWSTR* out) {
    return copyOut(g.document, out);
}

void completeController(HRESULT result, bool withWebView) {
    void* handler = std::exchange(g.controllerHandler, nullptr);
    if (!handler) return reportError("no controller request is waiting");
    if (SUCCEEDED(result)) {
        g.controller = create(makeVtable(26, {{4, fn(controllerPutIsVisible)},
                                              {6, fn(controllerPutBounds)},
                                              {23, fn(controllerNotifyMoved)},
                                              {25, fn(controllerGetWebView)}}),
                              "Controller", IID_Controller);
        if (withWebView) {
            g.webView = create(makeVtable(128, {{3, fn(webViewGetSettings)},
                                                {4, fn(webViewGetSource)},
                                                {5, fn(webViewNavigate)},
                                                {7, fn(webViewAddNavigationStarting)},
                                                {9, fn(webViewAddContentLoading)},
                                                {23, fn(webViewAddPermissionRequested)},
                                                {25, fn(webViewAddProcessFailed)},
                                                {27, fn(webViewAddScript)},
                                                {29, fn(webViewExecuteScript)},
                                                {31, fn(webViewReload)},
                                                {32, fn(webViewPostJson)},
                                                {34, fn(webViewAddWebMessageReceived)},
                                                {44, fn(webViewAddNewWindowRequested)},
                                                {120, fn(webViewPutMemoryTarget)},
                                                {126, fn(webViewAddNotificationReceived)}}),
                               "WebView", IID_WebView);
            g.webView->later = {&IID_WebView19, &IID_WebView24};
            g.settings = create(
                makeVtable(
                    21, {{4, fn(putSetting<4>)}, {6, fn(putSetting<6>)}, {8, fn(putSetting<8>)}}),
                "Settings", IID_Settings);
        }
    }
    const HRESULT answer = callSlot(handler, 3, result, g.controller);
    callSlot(handler, 2);
    report(JsonObject()
               .add("event", jsonText("controllerCompleted"))
               .add("returned", jsonNumber(answer))
               .str());
}

// A message from the current document, or from `source` when one is given.
void deliverMessage(const std::string& json, const std::wstring* source = nullptr) {
    if (!g.messageHandler) return reportError("no message handler");
    Object* args =
        create(makeVtable(6, {{3, fn(messageArgsGetSource)}, {4, fn(messageArgsGetJson)}}),
               "WebMessageReceivedEventArgs", IID_MessageArgs);
    args->text = widen(json);
    args->source = source ? *source : g.document;
    const long long startedAt = nowMicros();
    const HRESULT answer = callSlot(g.messageHandler, 3, g.webView, args);
    const long long endedAt = nowMicros();
    const ULONG left = release(args);
    report(JsonObject()
               .add("event", jsonText("messageDelivered"))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(left))
               .add("startedAt", jsonNumber(startedAt))
               .add("endedAt", jsonNumber(endedAt))
               .str());
}

HRESULT STDMETHODCALLTYPE processFailedArgsGetKind(Object* self, int* kind) {
    *kind = std::stoi(self->text);
    return S_OK;
}

// A failed process of the given kind. When it is the browser process, the
// runtime's own references to its objects go with it once the program heard.
void failProcess(const std::string& kind) {
    if (!g.processFailedHandler) return reportError("no process failure handler");
    Object* args = create(makeVtable(4, {{3, fn(processFailedArgsGetKind)}}),
                          "ProcessFailedEventArgs", IID_ProcessFailedArgs);
    args->text = widen(kind);
    const HRESULT answer = callSlot(g.processFailedHandler, 3, g.webView, args);
    const ULONG left = release(args);
    if (std::stoi(kind) == 0) {
        for (Object** held : {&g.settings, &g.webView, &g.controller, &g.environment})
            if (Object* object = std::exchange(*held, nullptr)) release(object);
        g.processFailedHandler = g.messageHandler = g.navigationHandler = nullptr;
        g.contentLoadingHandler = g.newWindowHandler = nullptr;
        g.permissionHandler = g.notificationHandler = nullptr;
    }
    report(JsonObject()
               .add("event", jsonText("processFailed"))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(left))
               .str());
}

// The new document's content starts to arrive, replacing the current one.
void loadContent() {
    HRESULT answer = S_OK;
    ULONG left = 0;
    if (g.contentLoadingHandler) {
        Object* args = create(makeVtable(5, {}), "ContentLoadingEventArgs", IID_ContentLoadingArgs);
        answer = callSlot(g.contentLoadingHandler, 3, g.webView, args);
        left = release(args);
    }
    report(JsonObject()
               .add("event", jsonText("contentLoading"))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(left))
               .str());
}

// A navigation to `uri` starts. One that brings a document (`replaces`) goes on
// to load it; a mailto: link, a download or a cancelled one leaves the page be.
void startNavigation(const std::string& uri, bool replaces) {
    HRESULT answer = S_OK;
    ULONG left = 0;
    if (g.navigationHandler) {
        Object* args =
            create(makeVtable(10, {}), "NavigationStartingEventArgs", IID_NavigationArgs);
        args->text = widen(uri);
        answer = callSlot(g.navigationHandler, 3, g.webView, args);
        left = release(args);
    }
    if (replaces) {
        g.document = widen(uri);
        loadContent();
    }
    report(JsonObject()
               .add("event", jsonText("navigationStarted"))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(left))
               .str());
}

HRESULT STDMETHODCALLTYPE argsGetText(Object* self, LPWSTR* out) {
    return copyOut(self->text, out);
}

HRESULT STDMETHODCALLTYPE argsPutHandled(Object* self, BOOL handled) {
    self->handled = handled;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE newWindowArgsGetIsUserInitiated(Object* self, BOOL* out) {
    *out = self->byUser;
    return S_OK;
}

// A link with target=_blank or window.open(uri) in the page, clicked by the user
// or called by a script. Unhandled, the runtime would open a popup of its own.
void requestNewWindow(const std::string& uri, BOOL byUser) {
    if (!g.newWindowHandler) return reportError("no new window handler");
    Object* args = create(makeVtable(11, {{3, fn(argsGetText)},
                                          {6, fn(argsPutHandled)},
                                          {8, fn(newWindowArgsGetIsUserInitiated)}}),
                          "NewWindowRequestedEventArgs", IID_NewWindowArgs);
    args->text = widen(uri);
    args->byUser = byUser;
    const HRESULT answer = callSlot(g.newWindowHandler, 3, g.webView, args);
    const BOOL handled = args->handled;
    const ULONG left = release(args);
    report(JsonObject()
               .add("event", jsonText("newWindowRequested"))
               .add("handled", jsonBool(handled))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(left))
               .str());
}

// ---- permissions and notifications ----

HRESULT STDMETHODCALLTYPE permissionArgsGetKind(Object* self, int* out) {
    *out = self->permissionKind;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE permissionArgsPutState(Object* self, int state) {
    self->state = state;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE permissionArgsPutSavesInProfile(Object* self, BOOL saves) {
    self->savesInProfile = saves;
    return S_OK;
}

// A document of `origin` asks for a permission of `kind`; the report says what
// the program answered (0 the runtime's prompt, 1 allow, 2 deny).
void requestPermission(const std::string& rest) {
    if (!g.permissionHandler) return reportError("no permission handler");
    const size_t space = rest.find(' ');
    Object* args = create(makeVtable(13, {{3, fn(argsGetText)},
                                          {4, fn(permissionArgsGetKind)},
                                          {7, fn(permissionArgsPutState)},
                                          {12, fn(permissionArgsPutSavesInProfile)}}),
                          "PermissionRequestedEventArgs", IID_PermissionArgs);
    args->later = {&IID_PermissionArgs3};
    args->permissionKind = std::atoi(rest.c_str());
    args->text = widen(space == std::string::npos ? "" : rest.substr(space + 1));
    const HRESULT answer = callSlot(g.permissionHandler, 3, g.webView, args);
    report(JsonObject()
               .add("event", jsonText("permissionRequested"))
               .add("state", jsonNumber(args->state))
               .add("savesInProfile", jsonBool(args->savesInProfile))
               .add("returned", jsonNumber(answer))
               .add("argsRefsLeft", jsonNumber(release(args)))
               .str());
}

HRESULT STDMETHODCALLTYPE notificationArgsGetOrigin(Object* self, LPWSTR* out) {
    return copyOut(self->source, out);
}

HRESULT STDMETHODCALLTYPE notificationArgsGetNotification(Object*, Object** out) {
    *out = g.notification;
    addRef(g.notification);
    return S_OK;
}

template <const char* Name> HRESULT STDMETHODCALLTYPE notificationReport(Object*) {
    report(JsonObject().add("call", jsonText(Name)).add("at", jsonNumber(nowMicros())).str());
    return S_OK;
}

constexpr char REPORT_SHOWN[] = "ReportShown";
constexpr char REPORT_CLICKED[] = "ReportClicked";
constexpr char REPORT_CLOSED[] = "ReportClosed";

HRESULT STDMETHODCALLTYPE notificationAddCloseRequested(Object*, void*,
                                                        EventRegistrationToken* token) {
    token->value = g.nextToken++;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE notificationRemoveCloseRequested(Object*, EventRegistrationToken) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE notificationGetBody(Object* self, LPWSTR* out) {
    return copyOut(self->body, out);
}

HRESULT STDMETHODCALLTYPE notificationGetIsSilent(Object* self, BOOL* out) {
    *out = self->silent;
    return S_OK;
}

// The page of `origin` shows a notification: "origin silent title|body".
void receiveNotification(const std::string& rest) {
    if (!g.notificationHandler) return reportError("no notification handler");
    char origin[256] = "";
    int silent = 0, used = 0;
    sscanf(rest.c_str(), "%255s %d %n", origin, &silent, &used);
    const std::string texts = rest.substr(static_cast<size_t>(used));
    const size_t bar = texts.find('|');
    Object* notification = create(makeVtable(21, {{3, fn(notificationAddCloseRequested)},
                                                  {4, fn(notificationRemoveCloseRequested)},
                                                  {5, fn(notificationReport<REPORT_SHOWN>)},
                                                  {6, fn(notificationReport<REPORT_CLICKED>)},
                                                  {7, fn(notificationReport<REPORT_CLOSED>)},
                                                  {8, fn(notificationGetBody)},
                                                  {13, fn(argsGetText)},
                                                  {18, fn(notificationGetIsSilent)}}),
                                  "Notification", IID_Notification);
    notification->text = widen(texts.substr(0, bar));
    notification->body = widen(bar == std::string::npos ? "" : texts.substr(bar + 1));
    notification->silent = silent;
    Object* args = create(makeVtable(8, {{3, fn(notificationArgsGetOrigin)},
                                         {4, fn(notificationArgsGetNotification)},
                                         {5, fn(argsPutHandled)}}),
                          "NotificationReceivedEventArgs", IID_NotificationArgs);
    args->source = widen(origin);
    g.notification = notification;
    const long long at = nowMicros();
    const HRESULT answer = callSlot(g.notificationHandler, 3, g.webView, args);
    g.notification = nullptr;
    report(JsonObject()
               .add("event", jsonText("notificationReceived"))
               .add("handled", jsonBool(args->handled))
               .add("returned", jsonNumber(answer))
               .add("at", jsonNumber(at))
               .add("argsRefsLeft", jsonNumber(release(args)))
               .add("notificationRefsLeft", jsonNumber(release(notification)))
               .str());
}

// How many pixels of the client area's middle row differ from the window's
// background: what the program drew where the page would be.
long long drawnPixels(HWND w, COLORREF background) {
    UpdateWindow(w);
    RECT client{};
    GetClientRect(w, &client);
    HDC dc = GetDC(w);
    long long drawn = 0;
    for (int x = 0; x < client.right; ++x)
        drawn += GetPixel(dc, x, client.bottom / 2) != background;
    ReleaseDC(w, dc);
    return drawn;
}

void reportWindowState() {
    HWND w = g_mainWindow;
    RECT window{}, client{};
    GetWindowRect(w, &window);
    GetClientRect(w, &client);
    MINMAXINFO limits{};
    SendMessageW(w, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    LOGBRUSH brush{};
    GetObjectW(reinterpret_cast<HBRUSH>(GetClassLongPtrW(w, GCLP_HBRBACKGROUND)), sizeof(brush),
               &brush);
    report(JsonObject()
               .add("event", jsonText("state"))
               .add("visible", jsonBool(IsWindowVisible(w)))
               .add("maximised", jsonBool(IsZoomed(w)))
               .add("minimised", jsonBool(IsIconic(w)))
               .add("rect", jsonRect(window))
               .add("client", jsonRect(client))
               .add("minTrack", jsonList({limits.ptMinTrackSize.x, limits.ptMinTrackSize.y}))
               .add("className", windowClass(w))
               .add("title", windowText(w))
               .add("style", jsonNumber(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE))))
               .add("exStyle", jsonNumber(static_cast<DWORD>(GetWindowLongW(w, GWL_EXSTYLE))))
               .add("background", jsonNumber(brush.lbColor))
               .add("drawn", jsonNumber(drawnPixels(w, brush.lbColor)))
               .str());
}

void reportRefs() {
    report(JsonObject()
               .add("event", jsonText("refs"))
               .add("environment", refsOf(g.environment))
               .add("controller", refsOf(g.controller))
               .add("webView", refsOf(g.webView))
               .add("settings", refsOf(g.settings))
               .add("alive", jsonNumber(static_cast<long long>(g_alive.size())))
               .str());
}

// The popup menu this process shows, item by item, with each item's place on
// the screen so that the test can click it.
void reportMenu() {
    HWND popup = nullptr;
    for (HWND w = FindWindowExW(nullptr, nullptr, L"#32768", nullptr); w && !popup;
         w = FindWindowExW(nullptr, w, L"#32768", nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(w)) popup = w;
    }
    HMENU menu = popup ? reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0)) : nullptr;
    std::string items = "[";
    const int count = menu ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_STATE;
        info.dwTypeData = text;
        info.cch = 256;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
        RECT place{};
        GetMenuItemRect(nullptr, menu, static_cast<UINT>(i), &place);
        if (i) items += ',';
        items += JsonObject()
                     .add("separator", jsonBool(info.fType & MFT_SEPARATOR))
                     .add("id", jsonNumber(info.wID))
                     .add("checked", jsonBool(info.fState & MFS_CHECKED))
                     .add("text", jsonString(text))
                     .add("rect", jsonRect(place))
                     .str();
    }
    report(JsonObject()
               .add("event", jsonText("menu"))
               .add("shown", jsonBool(menu))
               .add("items", items + "]")
               .str());
}

// ---- the program's own platform calls, watched through its import table ----

// Points the program's import of dll!function at `replacement`; returns the
// function it called before, or none when the program does not import it.
void* watchImport(const char* dllName, const char* function, void* replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name; ++dll) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + dll->Name), dllName) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<char*>(name->Name), function) != 0) continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                           &protection);
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection,
                           &protection);
            return original;
        }
    }
    return nullptr;
}

using TickCountFn = ULONGLONG(WINAPI*)();
TickCountFn g_tickCount = nullptr;
ULONGLONG g_tickOffset = 0; // how far the test has moved the program's clock on

ULONGLONG WINAPI watchedTickCount() {
    return g_tickCount() + g_tickOffset;
}

using SetHookFn = HHOOK(WINAPI*)(int, HOOKPROC, HINSTANCE, DWORD);
using UnhookFn = BOOL(WINAPI*)(HHOOK);
using UnregisterHotKeyFn = BOOL(WINAPI*)(HWND, int);
using KillTimerFn = BOOL(WINAPI*)(HWND, UINT_PTR);
SetHookFn g_setHook = nullptr;
UnhookFn g_unhook = nullptr;
UnregisterHotKeyFn g_unregisterHotKey = nullptr;
KillTimerFn g_killTimer = nullptr;
int g_hookFailures = 0; // how many of the next installations fail, as on a refusing system
ULONGLONG g_loadedAt = 0;

// Watched from the load of this DLL on, early in the program's start-up. Wine
// may report an apartment for a thread that never asked for one, so the call
// itself is what tells.
using CoInitializeExFn = HRESULT(WINAPI*)(void*, DWORD);
using RegisterHotKeyFn = BOOL(WINAPI*)(HWND, int, UINT, UINT);
CoInitializeExFn g_coInitializeEx = nullptr;
RegisterHotKeyFn g_registerHotKey = nullptr;

HRESULT WINAPI watchedCoInitializeEx(void* reserved, DWORD flags) {
    report(
        JsonObject().add("call", jsonText("CoInitializeEx")).add("flags", jsonNumber(flags)).str());
    return g_coInitializeEx(reserved, flags);
}

BOOL WINAPI watchedRegisterHotKey(HWND window, int id, UINT modifiers, UINT key) {
    report(JsonObject()
               .add("call", jsonText("RegisterHotKey"))
               .add("id", jsonNumber(id))
               .add("modifiers", jsonNumber(modifiers))
               .add("key", jsonNumber(key))
               .str());
    return g_registerHotKey(window, id, modifiers, key);
}

HHOOK WINAPI watchedSetHook(int kind, HOOKPROC procedure, HINSTANCE module, DWORD thread) {
    HHOOK hook = nullptr;
    if (g_hookFailures > 0)
        --g_hookFailures;
    else
        hook = g_setHook(kind, procedure, module, thread);
    report(JsonObject()
               .add("call", jsonText("SetWindowsHookExW"))
               .add("kind", jsonNumber(kind))
               .add("procedure", jsonBool(procedure))
               .add("programModule", jsonBool(module == GetModuleHandleW(nullptr)))
               .add("thread", jsonNumber(thread))
               .add("installed", jsonBool(hook))
               .str());
    return hook;
}

BOOL WINAPI watchedUnhook(HHOOK hook) {
    report(JsonObject().add("call", jsonText("UnhookWindowsHookEx")).str());
    return g_unhook(hook);
}

BOOL WINAPI watchedUnregisterHotKey(HWND window, int id) {
    report(JsonObject()
               .add("call", jsonText("UnregisterHotKey"))
               .add("id", jsonNumber(id))
               .add("mainWindow", jsonBool(window && window == g_mainWindow))
               .str());
    return g_unregisterHotKey(window, id);
}

BOOL WINAPI watchedKillTimer(HWND window, UINT_PTR id) {
    report(
        JsonObject()
            .add("call", jsonText("KillTimer"))
            .add("id", jsonNumber(static_cast<long long>(id)))
            .add("msSinceLoad", jsonNumber(static_cast<long long>(GetTickCount64() - g_loadedAt)))
            .add("mainWindow", jsonBool(window && window == g_mainWindow))
            .add("at", jsonNumber(nowMicros()))
            .str());
    return g_killTimer(window, id);
}

// The tray, and the taskbar list whose overlay Wine
// does not draw: a stand-in list reports what the program sets on it.
using NotifyIconFn = BOOL(WINAPI*)(DWORD, NOTIFYICONDATAW*);
using CoCreateFn = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, REFIID, void**);
NotifyIconFn g_notifyIcon = nullptr;
CoCreateFn g_coCreate = nullptr;

BOOL WINAPI watchedNotifyIcon(DWORD message, NOTIFYICONDATAW* data) {
    report(JsonObject()
               .add("call", jsonText("Shell_NotifyIconW"))
               .add("message", jsonNumber(message))
               .add("flags", jsonNumber(data->uFlags))
               .add("tip", jsonString(data->szTip))
               .add("title", jsonString(data->szInfoTitle))
               .add("info", jsonString(data->szInfo))
               .add("infoFlags", jsonNumber(data->dwInfoFlags))
               .add("version", jsonNumber(data->uVersion))
               .add("at", jsonNumber(nowMicros()))
               .str());
    return g_notifyIcon(message, data);
}

HRESULT STDMETHODCALLTYPE taskbarHrInit(Object*) {
    return S_OK;
}

HRESULT STDMETHODCALLTYPE taskbarSetOverlayIcon(Object*, HWND window, HICON icon,
                                                LPCWSTR description) {
    report(JsonObject()
               .add("call", jsonText("SetOverlayIcon"))
               .add("mainWindow", jsonBool(window == g_mainWindow))
               .add("icon", jsonBool(icon))
               .add("description", jsonString(description))
               .str());
    return S_OK;
}

HRESULT WINAPI watchedCoCreate(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                               void** out) {
    if (!IsEqualCLSID(clsid, CLSID_TaskbarListObject))
        return g_coCreate(clsid, outer, context, iid, out);
    Object* list = create(makeVtable(21, {{3, fn(taskbarHrInit)}, {18, fn(taskbarSetOverlayIcon)}}),
                          "TaskbarList", IID_TaskbarList3);
    const HRESULT answer = queryInterface(list, iid, out);
    release(list);
    return answer;
}

void watchPlatformCalls() {
    g_loadedAt = GetTickCount64();
    g_setHook = reinterpret_cast<SetHookFn>(
        watchImport("user32.dll", "SetWindowsHookExW", reinterpret_cast<void*>(&watchedSetHook)));
    g_unhook = reinterpret_cast<UnhookFn>(
        watchImport("user32.dll", "UnhookWindowsHookEx", reinterpret_cast<void*>(&watchedUnhook)));
    g_unregisterHotKey = reinterpret_cast<UnregisterHotKeyFn>(watchImport(
        "user32.dll", "UnregisterHotKey", reinterpret_cast<void*>(&watchedUnregisterHotKey)));
    g_killTimer = reinterpret_cast<KillTimerFn>(
        watchImport("user32.dll", "KillTimer", reinterpret_cast<void*>(&watchedKillTimer)));
    g_tickCount = reinterpret_cast<TickCountFn>(
        watchImport("kernel32.dll", "GetTickCount64", reinterpret_cast<void*>(&watchedTickCount)));
    g_notifyIcon = reinterpret_cast<NotifyIconFn>(watchImport(
        "shell32.dll", "Shell_NotifyIconW", reinterpret_cast<void*>(&watchedNotifyIcon)));
    g_coCreate = reinterpret_cast<CoCreateFn>(
        watchImport("ole32.dll", "CoCreateInstance", reinterpret_cast<void*>(&watchedCoCreate)));
}

void runCommand(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "environment")
        completeEnvironment(parseResult(rest));
    else if (verb == "controller")
        completeController(parseResult(rest), true);
    else if (verb == "controller-without-webview")
        completeController(S_OK, false);
    else if (verb == "message")
        deliverMessage(rest);
    else if (verb == "message-from") {
        const size_t end = rest.find(' ');
        const std::wstring source = widen(rest.substr(0, end));
        deliverMessage(end == std::string::npos ? "" : rest.substr(end + 1), &source);
    } else if (verb == "navigate")
        startNavigation(rest, true);
    else if (verb == "navigation-starting")
        startNavigation(rest, false);
    else if (verb == "content-loading")
        loadContent();
    else if (verb == "new-window")
        requestNewWindow(rest, TRUE);
    else if (verb == "new-window-by-script")
        requestNewWindow(rest, FALSE);
    else if (verb == "permission") // kind origin
        requestPermission(rest);
    else if (verb == "notification")
        receiveNotification(rest);
    else if (verb == "process-failed")
        failProcess(rest);
    else if (verb == "state")
        reportWindowState();
    else if (verb == "move") { // as the user would, by the frame: left top width height
        int x = 0, y = 0, width = 0, height = 0;
        sscanf(rest.c_str(), "%d %d %d %d", &x, &y, &width, &height);
        MoveWindow(g_mainWindow, x, y, width, height, TRUE);
        reportWindowState();
    } else if (verb == "refs")
        reportRefs();
    else if (verb == "menu")
        reportMenu();
    else if (verb == "busy") { // keeps the program's user-interface thread from its messages
        Sleep(static_cast<DWORD>(std::atoi(rest.c_str())));
        report(JsonObject().add("event", jsonText("idle")).str());
    } else if (verb == "advance") { // moves the program's tick count on
        if (g_tickCount) g_tickOffset += std::strtoull(rest.c_str(), nullptr, 10);
        report(JsonObject()
                   .add("event", jsonText("advanced"))
                   .add("watched", jsonBool(g_tickCount))
                   .str());
    } else if (verb == "fail-hooks") {
        g_hookFailures = std::atoi(rest.c_str());
        report(JsonObject().add("event", jsonText("hooksWillFail")).str());
    } else if (verb == "post") {
        // The message is a number or the name of a registered one.
        char name[64] = "";
        unsigned long long wParam = 0;
        long long lParam = 0;
        sscanf(rest.c_str(), "%63s %llu %lld", name, &wParam, &lParam);
        char* end = nullptr;
        unsigned long message = std::strtoul(name, &end, 10);
        if (*end) message = RegisterWindowMessageA(name);
        PostMessageW(g_mainWindow, message, wParam, lParam);
        report(JsonObject().add("event", jsonText("posted")).str());
    } else
        reportError("unknown command");
}

LRESULT CALLBACK commandWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COMMAND_LINE) return DefWindowProcW(window, message, wParam, lParam);
    std::string* line = reinterpret_cast<std::string*>(lParam);
    runCommand(*line);
    delete line;
    return 0;
}

BOOL CALLBACK findMainWindow(HWND window, LPARAM) {
    wchar_t name[64];
    GetClassNameW(window, name, 64);
    if (lstrcmpW(name, L"TolvinWindowClass") != 0) return TRUE;
    g_mainWindow = window;
    return FALSE;
}

void connectToTest() {
    g_connectTried = true;
    wchar_t port[16];
    if (!GetEnvironmentVariableW(L"TOLVIN_STANDIN_PORT", port, 16)) return;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    g_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(_wtoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(g_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(g_socket);
        g_socket = INVALID_SOCKET;
        return;
    }
    // The development web view's driver answers page messages as they come:
    // no report may wait for the one before it to be acknowledged.
    if (chromiumMode()) {
        const BOOL on = TRUE;
        setsockopt(g_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                   sizeof(on));
    }
    for (const std::string& json : std::exchange(g_early, {})) report(json);
    WNDCLASSW wc{};
    wc.lpfnWndProc = commandWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TolvinStandInCommands";
    RegisterClassW(&wc);
    g_commandWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, wc.hInstance, nullptr);
    std::thread(readCommands).detach();
    watchPlatformCalls();
}

const char* apartmentName() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (FAILED(CoGetApartmentType(&type, &qualifier))) return "none";
    return type == APTTYPE_STA || type == APTTYPE_MAINSTA ? "sta" : "mta";
}

} // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserFolder, PCWSTR userDataFolder,
                                             void* options, void* handler) {
    static bool connected = (connectToTest(), true);
    (void)connected;
    EnumThreadWindows(GetCurrentThreadId(), findMainWindow, 0);
    const char* apartment = apartmentName();
    report(JsonObject()
               .add("call", jsonText("CreateCoreWebView2EnvironmentWithOptions"))
               .add("browserFolder", jsonString(browserFolder))
               .add("userDataFolder", jsonString(userDataFolder))
               .add("options", jsonBool(options))
               .add("handler", jsonBool(handler))
               .add("apartment", jsonText(apartment))
               .add("onWindowThread", jsonBool(g_mainWindow))
               .add("pid", jsonNumber(GetCurrentProcessId()))
               .str());
    // The runtime refuses threads that have not joined a single-threaded apartment.
    if (apartment[0] == 'n') return CO_E_NOTINITIALIZED;
    if (apartment[0] == 'm') return RPC_E_CHANGED_MODE;
    if (!handler) return E_INVALIDARG;
    reportHandlerRules("EnvironmentCompletedHandler", handler, IID_EnvironmentHandler,
                       IID_ControllerHandler);
    callSlot(handler, 1);
    g.environmentHandler = handler;
    return S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    g_coInitializeEx = reinterpret_cast<CoInitializeExFn>(watchImport(
        "ole32.dll", "CoInitializeEx", reinterpret_cast<void*>(&watchedCoInitializeEx)));
    g_registerHotKey = reinterpret_cast<RegisterHotKeyFn>(watchImport(
        "user32.dll", "RegisterHotKey", reinterpret_cast<void*>(&watchedRegisterHotKey)));
    return TRUE;
}
