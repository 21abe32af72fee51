// Win32 edge of the capture helper: the capture of one process tree, the session
// scan over the platform, and the state they share with the output loop.
#pragma once

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

#include "capture/options.h"
#include "capture/sample_queue.h"
#include "capture/session_scan.h"

// Receives the platform's activation callback, on any thread (hence agile). The
// platform may call it after the creator stopped waiting, so it is reference
// counted and closes its event only when the last reference goes.
class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler,
                                public IAgileObject {
  public:
    ActivationHandler();
    HANDLE completionEvent() const { return event_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE
    ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

  private:
    ~ActivationHandler();

    std::atomic<ULONG> count_{1};
    HANDLE event_;
};

// One running capture of one process tree, owned by the capture table.
struct ProcessCapture {
    uint32_t pid = 0;
    IAudioClient* audioClient = nullptr;
    IAudioCaptureClient* captureClient = nullptr;
    HANDLE event = nullptr;
    std::atomic<bool> running{false};
    std::thread thread;
    SRWLOCK queueLock = SRWLOCK_INIT;
    SampleQueue queue;
};

using CaptureTable = std::map<uint32_t, std::unique_ptr<ProcessCapture>>;

// Everything the scans read and the output loop mixes from; lives until the
// process ends (the helper never tears it down, it exits).
struct ScanContext {
    HelperOptions options;
    ProcessTable processes;
    SRWLOCK tableLock = SRWLOCK_INIT;
    CaptureTable captures;
};

// Obtains a process-loopback audio client for pid's tree, waiting at most 5000 ms.
// result (optional) receives the code of the first failing step, or the last one.
IAudioClient* activateLoopback(uint32_t pid, HRESULT* result);

// A running capture, or none when any step failed (the next scan tries again).
std::unique_ptr<ProcessCapture> startCapture(uint32_t pid);

// Stops the thread and the stream and releases the platform objects; safe on a
// partly started capture and safe to call twice.
void stopCapture(ProcessCapture& capture);

// Brings the capture table in line with the sessions and processes seen now.
void scanSessions(ScanContext& context);

// Re-scan thread body: every 2000 ms one scan, until the process ends.
void rescanForever(ScanContext& context);
