#pragma once

#include <unknwn.h>

// One counted reference to a COM object, released when the holder goes. Both
// programs use it; it depends on nothing of either.
template <typename T> class ComRef {
  public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { reset(); }

    T* get() const { return ptr; }
    T* operator->() const { return ptr; }
    explicit operator bool() const { return ptr != nullptr; }

    // The place an out-parameter call fills; whatever was held is released first.
    T** put() {
        reset();
        return &ptr;
    }
    // The same, for calls that fill a void** (Activate, GetService).
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    // Holds another object with a reference of its own.
    void assign(T* other) {
        if (other) other->AddRef();
        reset();
        ptr = other;
    }
    void reset() {
        if (ptr) ptr->Release();
        ptr = nullptr;
    }

  private:
    T* ptr = nullptr;
};
