#include <windows.h>

#include "shell/shell_state_win.h"

namespace {

// The runtime's callback objects are not reference counted: each lives as long
// as the process. QueryInterface hands out the object itself without a reference.
template <typename Interface> class Callback : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, __uuidof(Interface))) {
            *out = static_cast<Interface*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class ControllerCompletedHandler
    : public Callback<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> {
  public:
    explicit ControllerCompletedHandler(HWND window) : window(window) {}

    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result, ICoreWebView2Controller* controller) override {
        if (FAILED(result) || !controller) return result;
        if (controller != g_shell.controller.get()) g_shell.controller.assign(controller);
        controller->get_CoreWebView2(g_shell.webView.put());
        RECT bounds;
        GetClientRect(window, &bounds);
        controller->put_Bounds(bounds);
        return S_OK;
    }

  private:
    HWND window;
};

class EnvironmentCompletedHandler
    : public Callback<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> {
  public:
    explicit EnvironmentCompletedHandler(HWND window) : window(window) {}

    HRESULT STDMETHODCALLTYPE Invoke(HRESULT result,
                                     ICoreWebView2Environment* environment) override {
        if (FAILED(result) || !environment) return result;
        environment->CreateCoreWebView2Controller(window, new ControllerCompletedHandler(window));
        return S_OK;
    }

  private:
    HWND window;
};

} // namespace

void requestWebViewEnvironment(HWND mainWindow, const wchar_t* userDataFolder) {
    g_shell.loaderEntry(nullptr, userDataFolder, nullptr,
                        new EnvironmentCompletedHandler(mainWindow));
}
