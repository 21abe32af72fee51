// The platform calls the helper makes for processes, sessions, activation and its
// pacing sleep. The real program links platform_win.cpp; the simulated test build
// links sim/sim_platform_win.cpp instead, so everything around these runs unchanged.
#pragma once

#include <windows.h>
#include <mmdeviceapi.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct ProcessEntry {
    uint32_t pid;
    uint32_t parentPid;
    std::wstring exeName;
};

// False when no snapshot could be taken.
bool snapshotProcesses(std::vector<ProcessEntry>& entries);

// Adds the process id of every live session (not system sounds, not expired, id
// not 0) on every active playback endpoint; a failing item is skipped.
void collectSessionPids(std::set<uint32_t>& pids);

// Starts the asynchronous activation of the process-loopback device.
HRESULT activateProcessLoopback(PROPVARIANT* params,
                                IActivateAudioInterfaceCompletionHandler* handler,
                                IActivateAudioInterfaceAsyncOperation** operation);

// A waitable timer that wakes on time rather than on the system's timer tick, or
// none where the system has no such timer (before Windows 10 1803).
HANDLE createHighResolutionTimer();

// Sleeps at least ms milliseconds, waking on the system's timer tick.
void platformSleep(DWORD ms);
