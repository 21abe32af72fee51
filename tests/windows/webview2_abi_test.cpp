// Our WebView2 declarations against the published layout: every method the
// shell calls must land in the slot the runtime implements it in.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <cwctype>
#include <functional>
#include <string>
#include <utility>

#include "shell/webview2.h"

namespace {

// A fake COM object whose vtable entry k records k when called.
struct Fake {
    void** vtable;
    int lastSlot;
    RECT lastRect;
};

template <int Slot> HRESULT STDMETHODCALLTYPE record(Fake* self) {
    self->lastSlot = Slot;
    return S_OK;
}

// put_Bounds takes RECT by value, which x64 passes as a pointer to a copy.
HRESULT STDMETHODCALLTYPE recordBounds(Fake* self, const RECT* bounds) {
    self->lastSlot = 6;
    self->lastRect = *bounds;
    return S_OK;
}

template <int... Slot> void fill(void** table, std::integer_sequence<int, Slot...>) {
    ((table[Slot] = reinterpret_cast<void*>(&record<Slot>)), ...);
}

Fake* lastFake = nullptr;

struct Slots {
    Slots() { fill(table, std::make_integer_sequence<int, 61>()); }
    void* table[61];
};

// The slot a call through interface I lands in. The fake is hidden from the
// optimiser, which would otherwise devirtualise through the mismatched types.
template <typename I> int slotOf(const std::function<void(I*)>& call, void** table = nullptr) {
    static Slots slots;
    Fake object{table ? table : slots.table, -1, {}};
    lastFake = &object;
    void* hidden = &object;
    asm volatile("" : "+r"(hidden)::"memory");
    call(static_cast<I*>(hidden));
    return object.lastSlot;
}

struct SlotCase {
    const char* method;
    int expected;
    int actual;
};

TEST(WebView2Abi, EveryMethodTheShellCallsLandsInItsPublishedSlot) {
    LPWSTR text = nullptr;
    EventRegistrationToken token{};
    const SlotCase cases[] = {
        {"IUnknown::QueryInterface", 0, slotOf<IUnknown>([](IUnknown* u) {
             void* out;
             u->QueryInterface(IID_IUnknown, &out);
         })},
        {"IUnknown::AddRef", 1, slotOf<IUnknown>([](IUnknown* u) { u->AddRef(); })},
        {"IUnknown::Release", 2, slotOf<IUnknown>([](IUnknown* u) { u->Release(); })},
        {"Environment::CreateCoreWebView2Controller", 3,
         slotOf<ICoreWebView2Environment>(
             [](auto* e) { e->CreateCoreWebView2Controller(nullptr, nullptr); })},
        {"Controller::get_CoreWebView2", 25, slotOf<ICoreWebView2Controller>([](auto* c) {
             ICoreWebView2* w;
             c->get_CoreWebView2(&w);
         })},
        {"WebView::get_Settings", 3, slotOf<ICoreWebView2>([](auto* w) {
             ICoreWebView2Settings* s;
             w->get_Settings(&s);
         })},
        {"WebView::Navigate", 5, slotOf<ICoreWebView2>([](auto* w) { w->Navigate(L"x"); })},
        {"WebView::add_NavigationStarting", 7,
         slotOf<ICoreWebView2>([&](auto* w) { w->add_NavigationStarting(nullptr, &token); })},
        {"WebView::AddScriptToExecuteOnDocumentCreated", 27, slotOf<ICoreWebView2>([](auto* w) {
             w->AddScriptToExecuteOnDocumentCreated(L"x", nullptr);
         })},
        {"WebView::ExecuteScript", 29,
         slotOf<ICoreWebView2>([](auto* w) { w->ExecuteScript(L"x", nullptr); })},
        {"WebView::add_ProcessFailed", 25,
         slotOf<ICoreWebView2>([&](auto* w) { w->add_ProcessFailed(nullptr, &token); })},
        {"WebView::Reload", 31, slotOf<ICoreWebView2>([](auto* w) { w->Reload(); })},
        {"WebView::PostWebMessageAsJson", 32,
         slotOf<ICoreWebView2>([](auto* w) { w->PostWebMessageAsJson(L"{}"); })},
        {"WebView::add_WebMessageReceived", 34,
         slotOf<ICoreWebView2>([&](auto* w) { w->add_WebMessageReceived(nullptr, &token); })},
        {"Settings::put_IsScriptEnabled", 4,
         slotOf<ICoreWebView2Settings>([](auto* s) { s->put_IsScriptEnabled(TRUE); })},
        {"Settings::put_IsWebMessageEnabled", 6,
         slotOf<ICoreWebView2Settings>([](auto* s) { s->put_IsWebMessageEnabled(TRUE); })},
        {"Settings::put_AreDefaultScriptDialogsEnabled", 8,
         slotOf<ICoreWebView2Settings>(
             [](auto* s) { s->put_AreDefaultScriptDialogsEnabled(TRUE); })},
        {"WebMessageReceivedEventArgs::get_Source", 3,
         slotOf<ICoreWebView2WebMessageReceivedEventArgs>([&](auto* a) { a->get_Source(&text); })},
        {"ProcessFailedEventArgs::get_ProcessFailedKind", 3,
         slotOf<ICoreWebView2ProcessFailedEventArgs>([](auto* a) {
             COREWEBVIEW2_PROCESS_FAILED_KIND kind;
             a->get_ProcessFailedKind(&kind);
         })},
        {"WebMessageReceivedEventArgs::get_WebMessageAsJson", 4,
         slotOf<ICoreWebView2WebMessageReceivedEventArgs>(
             [&](auto* a) { a->get_WebMessageAsJson(&text); })},
        {"EnvironmentCompletedHandler::Invoke", 3,
         slotOf<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler>(
             [](auto* h) { h->Invoke(S_OK, nullptr); })},
        {"ControllerCompletedHandler::Invoke", 3,
         slotOf<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler>(
             [](auto* h) { h->Invoke(S_OK, nullptr); })},
        {"WebMessageReceivedEventHandler::Invoke", 3,
         slotOf<ICoreWebView2WebMessageReceivedEventHandler>(
             [](auto* h) { h->Invoke(nullptr, nullptr); })},
        {"NavigationStartingEventHandler::Invoke", 3,
         slotOf<ICoreWebView2NavigationStartingEventHandler>(
             [](auto* h) { h->Invoke(nullptr, nullptr); })},
        {"ProcessFailedEventHandler::Invoke", 3,
         slotOf<ICoreWebView2ProcessFailedEventHandler>(
             [](auto* h) { h->Invoke(nullptr, nullptr); })},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.method;
}

TEST(WebView2Abi, BoundsArriveWholeInSlotSix) {
    Slots slots;
    slots.table[6] = reinterpret_cast<void*>(&recordBounds);
    const RECT bounds{-3, 7, 1280, 820};
    RECT seen{};
    EXPECT_EQ(slotOf<ICoreWebView2Controller>(
                  [&](auto* c) {
                      c->put_Bounds(bounds);
                      seen = lastFake->lastRect;
                  },
                  slots.table),
              6);
    EXPECT_EQ(seen.left, -3);
    EXPECT_EQ(seen.top, 7);
    EXPECT_EQ(seen.right, 1280);
    EXPECT_EQ(seen.bottom, 820);
}

std::wstring lowerGuid(const GUID& id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    std::wstring braced(text);
    std::wstring plain = braced.substr(1, braced.size() - 2);
    for (wchar_t& c : plain) c = static_cast<wchar_t>(std::towlower(c));
    return plain;
}

TEST(WebView2Abi, InterfaceIdentifiersAreThePublishedOnes) {
    const std::pair<GUID, const wchar_t*> cases[] = {
        {__uuidof(ICoreWebView2Environment), L"b96d755e-0319-4e92-a296-23436f46a1fc"},
        {__uuidof(ICoreWebView2Controller), L"4d00c0d1-9434-4eb6-8078-8697a560334f"},
        {__uuidof(ICoreWebView2), L"76eceacb-0462-4d94-ac83-423a6793775e"},
        {__uuidof(ICoreWebView2Settings), L"e562e4f0-d7fa-43ac-8d71-c05150499f00"},
        {__uuidof(ICoreWebView2WebMessageReceivedEventArgs),
         L"0f99a40c-e962-4207-9e92-e3d542eff849"},
        {__uuidof(ICoreWebView2NavigationStartingEventArgs),
         L"5b495469-e119-438a-9b18-7604f25f2e49"},
        {__uuidof(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler),
         L"4e8a3389-c9d8-4bd2-b6b5-124fee6cc14d"},
        {__uuidof(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler),
         L"6c4819f3-c9b7-4260-8127-c9f5bde7f68c"},
        {__uuidof(ICoreWebView2WebMessageReceivedEventHandler),
         L"57213f19-00e6-49fa-8e07-898ea01ecbd2"},
        {__uuidof(ICoreWebView2NavigationStartingEventHandler),
         L"9adbe429-f36d-432b-9ddc-f8881fbd76e3"},
        {__uuidof(ICoreWebView2ProcessFailedEventArgs), L"8155a9a4-1474-4a86-8cae-151b0fa6b8ca"},
        {__uuidof(ICoreWebView2ProcessFailedEventHandler), L"79e0aea4-990b-42d9-aa1d-0fcc2e5bc7f1"},
        {__uuidof(ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler),
         L"b99369f3-9b11-47b5-bc6f-8e7895fcea17"},
        {__uuidof(ICoreWebView2ExecuteScriptCompletedHandler),
         L"49511172-cc67-4bca-9923-137112f4c4cc"},
    };
    for (const auto& [id, text] : cases) EXPECT_EQ(lowerGuid(id), text);
}

TEST(WebView2Abi, PlatformRecordsHaveTheSizesTheRuntimeAndShellExpect) {
    EXPECT_EQ(sizeof(RECT), 16u);
    EXPECT_EQ(sizeof(BOOL), 4u);
    EXPECT_EQ(sizeof(EventRegistrationToken), 8u);
    EXPECT_EQ(sizeof(NOTIFYICONDATAW), 976u);
}

} // namespace
