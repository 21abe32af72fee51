#pragma once

#include <objbase.h>

#include <string>

// The base of the web view runtime's callback objects, which are not reference
// counted: each lives as long as the process. QueryInterface hands out the
// object itself without a reference.
template <typename Interface, const IID& ownId> class Callback : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, ownId)) {
            *out = static_cast<Interface*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// A text the runtime hands over, freed here; empty when there is none.
inline std::wstring takeText(LPWSTR text) {
    std::wstring taken = text ? text : L"";
    CoTaskMemFree(text);
    return taken;
}
