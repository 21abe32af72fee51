// The real platform behind the helper: Toolhelp snapshots, the audio endpoints'
// session lists and process-loopback activation.
#include "capture/platform_win.h"

#include <windows.h>
#include <audiopolicy.h>
#include <tlhelp32.h>

#include "capture/session_scan.h"

namespace {

// Releases a COM reference when the scope ends.
template <typename T> class ComRef {
  public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() {
        if (p_ != nullptr) {
            p_->Release();
        }
    }
    T** put() { return &p_; }
    void** putVoid() { return reinterpret_cast<void**>(&p_); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

void collectEndpointSessions(IMMDevice* device, std::set<uint32_t>& pids) {
    ComRef<IAudioSessionManager2> manager;
    if (FAILED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                manager.putVoid()))) {
        return;
    }
    ComRef<IAudioSessionEnumerator> sessions;
    if (FAILED(manager->GetSessionEnumerator(sessions.put()))) {
        return;
    }
    int count = 0;
    sessions->GetCount(&count);
    for (int i = 0; i < count; ++i) {
        ComRef<IAudioSessionControl> control;
        if (FAILED(sessions->GetSession(i, control.put()))) {
            continue;
        }
        ComRef<IAudioSessionControl2> control2;
        if (FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2), control2.putVoid()))) {
            continue;
        }
        // A state that cannot be read counts as expired.
        AudioSessionState state = AudioSessionStateExpired;
        control->GetState(&state);
        // Only S_OK marks the system-sounds session; S_FALSE is an ordinary one.
        if (!sessionIsSource(state, control2->IsSystemSoundsSession() == S_OK)) {
            continue;
        }
        DWORD pid = 0;
        // AUDCLNT_S_NO_SINGLE_PROCESS is a success code and still names a process.
        if (SUCCEEDED(control2->GetProcessId(&pid)) && pid != 0) {
            pids.insert(pid);
        }
    }
}

} // namespace

bool snapshotProcesses(std::vector<ProcessEntry>& entries) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    CloseHandle(snapshot);
    return true;
}

void collectSessionPids(std::set<uint32_t>& pids) {
    ComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                __uuidof(IMMDeviceEnumerator), enumerator.putVoid()))) {
        return;
    }
    ComRef<IMMDeviceCollection> endpoints;
    if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, endpoints.put()))) {
        return;
    }
    UINT count = 0;
    endpoints->GetCount(&count);
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> device;
        if (SUCCEEDED(endpoints->Item(i, device.put()))) {
            collectEndpointSessions(device.get(), pids);
        }
    }
}

HRESULT activateProcessLoopback(PROPVARIANT* params,
                                IActivateAudioInterfaceCompletionHandler* handler,
                                IActivateAudioInterfaceAsyncOperation** operation) {
    return ActivateAudioInterfaceAsync(L"VAD\\Process_Loopback", __uuidof(IAudioClient), params,
                                       handler, operation);
}
