// The real platform behind the helper: Toolhelp snapshots, the audio endpoints'
// session lists and process-loopback activation.
#include "capture/platform_win.h"

#include <windows.h>
#include <audioclient.h>
#include <audiopolicy.h>
#include <tlhelp32.h>

#include <optional>

#include "capture/session_scan.h"
#include "common/com_ref_win.h"

// The portable session decisions use the platform's numbers; these headers lack
// a name for AUDCLNT_S_NO_SINGLE_PROCESS, so it is built from its facility code.
static_assert(HR_S_OK == S_OK && HR_S_FALSE == S_FALSE);
static_assert(HR_AUDCLNT_S_NO_SINGLE_PROCESS == AUDCLNT_SUCCESS(0xD));
static_assert(SESSION_INACTIVE == static_cast<int>(AudioSessionStateInactive) &&
              SESSION_ACTIVE == static_cast<int>(AudioSessionStateActive) &&
              SESSION_EXPIRED == static_cast<int>(AudioSessionStateExpired));

namespace {

// Windows 10 1803 and later; these headers do not name it yet.
constexpr DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION = 0x00000002;

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
        if (!sessionCounts(state, control2->IsSystemSoundsSession())) {
            continue;
        }
        DWORD pid = 0;
        const HRESULT pidResult = control2->GetProcessId(&pid);
        if (const std::optional<uint32_t> source = sessionPid(pidResult, pid)) {
            pids.insert(*source);
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

HANDLE createHighResolutionTimer() {
    // Older systems fail the flag with ERROR_INVALID_PARAMETER; the caller then sleeps.
    return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                  TIMER_ALL_ACCESS);
}

void platformSleep(DWORD ms) {
    Sleep(ms);
}
