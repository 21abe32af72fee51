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

#include "capture/activation_schedule.h"
#include "capture/options.h"
#include "capture/sample_queue.h"
#include "capture/session_scan.h"
#include "capture/stream_health.h"
#include "common/com_ref_win.h"
#include "common/handle_win.h"

// Receives the platform's activation callback, on any thread. The platform asks
// for an agile handler: it answers IAgileObject, and IMarshal through the
// free-threaded marshaler it aggregates, so every apartment gets the object
// itself rather than a proxy. The platform may call it after the creator stopped
// waiting, so it is reference counted and closes its event only when the last
// reference goes.
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
    // The marshaler's own (inner) unknown; its interfaces count on this object.
    IUnknown* marshaler_ = nullptr;
};

// One loopback activation of a process tree, from its start until its result is
// read. Dropping it releases the helper's references; the platform keeps its own
// on the handler until it has called back, however late that is.
class PendingActivation {
  public:
    explicit PendingActivation(uint32_t pid);
    ~PendingActivation();
    PendingActivation(const PendingActivation&) = delete;
    PendingActivation& operator=(const PendingActivation&) = delete;

    // The platform's answer to the start; a failure means no completion will come.
    HRESULT started() const { return started_; }
    // Set once the platform has completed the activation.
    HANDLE completionEvent() const { return handler_->completionEvent(); }
    // After completion: the audio client, or none with the failing code in result.
    IAudioClient* finish(HRESULT* result);

  private:
    ActivationHandler* handler_;
    IActivateAudioInterfaceAsyncOperation* operation_ = nullptr;
    HRESULT started_;
};

// One running capture of one process tree, owned by the capture table. Members
// go in reverse order, so the capture client is released before the audio
// client it came from, and the event the audio client signals after both.
struct ProcessCapture {
    uint32_t pid = 0;
    OwnedHandle event;
    ComRef<IAudioClient> audioClient;
    ComRef<IAudioCaptureClient> captureClient;
    std::atomic<bool> running{false};
    // Set by the capture thread when the stream has failed for good and the thread
    // has ended; the next scan stops the capture and activates the process anew.
    std::atomic<bool> failed{false};
    std::thread thread;
    SRWLOCK queueLock = SRWLOCK_INIT;
    SampleQueue queue;
};

// Registers the calling thread with the Multimedia Class Scheduler for a task of
// audio work ("Capture", "Audio"), so that a busy machine does not starve it, and
// reverts when it goes. Where the scheduler refuses, the thread keeps its normal
// priority.
class AudioThreadPriority {
  public:
    explicit AudioThreadPriority(const wchar_t* task);
    ~AudioThreadPriority();
    AudioThreadPriority(const AudioThreadPriority&) = delete;
    AudioThreadPriority& operator=(const AudioThreadPriority&) = delete;

  private:
    HANDLE handle_;
};

using CaptureTable = std::map<uint32_t, std::unique_ptr<ProcessCapture>>;

// Everything the scans read and the output loop mixes from; lives until the
// process ends (the helper never tears it down, it exits). The table lock guards
// only the capture table's membership and is held only to add, remove or mix
// captures; activations, starts and stops happen outside it.
struct ScanContext {
    HelperOptions options;
    ProcessTable processes;
    SRWLOCK tableLock = SRWLOCK_INIT;
    CaptureTable captures;
    // Used by the scanning thread alone: the main thread until "ready", then the
    // re-scan thread.
    std::map<uint32_t, std::unique_ptr<PendingActivation>> activations;
    ActivationSchedule schedule;
    StreamRestarts restarts;
};

// Obtains a process-loopback audio client for pid's tree, waiting at most 5000 ms.
// result (optional) receives the code of the first failing step, or the last one.
IAudioClient* activateLoopback(uint32_t pid, HRESULT* result);

// A running capture on an activated client (whose reference it takes over), or
// none when any step failed (the next scan tries again).
std::unique_ptr<ProcessCapture> startCapture(uint32_t pid, IAudioClient* client);

// Stops the thread and the stream and releases the platform objects; safe on a
// partly started capture and safe to call twice.
void stopCapture(ProcessCapture& capture);

// Brings the capture table in line with the sessions and processes seen now:
// stops what is no longer wanted and begins the activations of what is new,
// without waiting for them.
void scanSessions(ScanContext& context);

// Starts the captures whose activations complete until the deadline (a
// GetTickCount64 value), each as soon as it completes. With untilNoneLeft it
// returns early once no activation is in flight.
void awaitActivations(ScanContext& context, uint64_t deadline, bool untilNoneLeft);

// Re-scan thread body: every 2000 ms one scan, until the process ends; activations
// that complete in between are taken at once.
void rescanForever(ScanContext& context);
