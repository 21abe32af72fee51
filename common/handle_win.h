#pragma once

#include <windows.h>

#include <utility>

// One kernel handle, closed when the holder goes. The none value is null; the
// INVALID_HANDLE_VALUE some calls answer with counts as none too.
class OwnedHandle {
  public:
    OwnedHandle() = default;
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }

    HANDLE get() const { return handle; }
    explicit operator bool() const { return handle != nullptr; }
    // The place a call fills; whatever was held is closed first.
    HANDLE* put() {
        reset();
        return &handle;
    }
    void assign(HANDLE other) {
        reset();
        handle = other == INVALID_HANDLE_VALUE ? nullptr : other;
    }
    HANDLE release() { return std::exchange(handle, nullptr); }
    void reset() {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = nullptr;
    }

  private:
    HANDLE handle = nullptr;
};

// An anonymous pipe whose two ends are created inheritable; the end a child is
// not to have is made non-inheritable by the caller.
struct Pipe {
    OwnedHandle read;
    OwnedHandle write;

    bool create(DWORD size) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        return CreatePipe(read.put(), write.put(), &inherit, size);
    }
};
