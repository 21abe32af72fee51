#include <windows.h>
#include <avrt.h>

#include <cstdlib>

#include "capture/helper_win.h"
#include "capture/platform_win.h"
#include "capture/stream_health.h"

namespace {

// The platform's AUDIOCLIENT_ACTIVATION_PARAMS with its process-loopback member,
// which this toolchain's headers do not declare.
struct LoopbackActivationParams {
    DWORD activationType;
    DWORD targetProcessId;
    DWORD processLoopbackMode;
};
static_assert(sizeof(LoopbackActivationParams) == 12);

constexpr DWORD ACTIVATION_TYPE_PROCESS_LOOPBACK = 1;
constexpr DWORD LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0;
constexpr DWORD PACKET_WAIT_MS = 100;
constexpr DWORD STREAM_FLAGS = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                               AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_LOOPBACK;
constexpr REFERENCE_TIME BUFFER_DURATION = 200000; // 20 ms in 100-ns units

// The process-loopback client offers no mix format to ask for, so the helper
// fixes one and lets the platform convert to it.
constexpr WAVEFORMATEX CAPTURE_FORMAT = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

// Drains every packet into the queue until the capture is stopped, or until the
// stream has failed for good: then it marks the capture failed and ends, and the
// next scan activates the process anew.
void drainStream(ProcessCapture& capture) {
    const AudioThreadPriority priority(L"Capture");
    StreamHealth health;
    while (capture.running.load()) {
        WaitForSingleObject(capture.event.get(), PACKET_WAIT_MS);
        while (capture.running.load()) {
            UINT32 frames = 0;
            HRESULT hr = capture.captureClient->GetNextPacketSize(&frames);
            BYTE* data = nullptr;
            DWORD flags = 0;
            if (SUCCEEDED(hr) && frames != 0) {
                hr = capture.captureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            }
            if (health.failedAfter(hr)) {
                capture.failed.store(true);
                return;
            }
            if (FAILED(hr) || frames == 0) {
                break;
            }
            AcquireSRWLockExclusive(&capture.queueLock);
            capture.queue.appendPacket(data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
            ReleaseSRWLockExclusive(&capture.queueLock);
            capture.captureClient->ReleaseBuffer(frames);
        }
    }
}

void captureThread(ProcessCapture* capture) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    drainStream(*capture);
    CoUninitialize();
}

} // namespace

AudioThreadPriority::AudioThreadPriority(const wchar_t* task) {
    DWORD taskIndex = 0; // zero asks the scheduler for a new task
    handle_ = AvSetMmThreadCharacteristicsW(task, &taskIndex);
}

AudioThreadPriority::~AudioThreadPriority() {
    if (handle_ != nullptr) {
        AvRevertMmThreadCharacteristics(handle_);
    }
}

ActivationHandler::ActivationHandler() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    // Without its event the wait would fail at once and be reported as a time-out,
    // and without its marshaler the platform may refuse the handler. Either is an
    // allocation failure and ends the helper. The marshaler is made with this
    // object as its outer unknown, so it counts on this object and answers
    // QueryInterface with this object's interfaces.
    if (event_ == nullptr ||
        FAILED(CoCreateFreeThreadedMarshaler(
            static_cast<IActivateAudioInterfaceCompletionHandler*>(this), &marshaler_))) {
        std::abort();
    }
}

ActivationHandler::~ActivationHandler() {
    marshaler_->Release();
    CloseHandle(event_);
}

HRESULT STDMETHODCALLTYPE ActivationHandler::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (iid == __uuidof(IAgileObject)) {
        *object = static_cast<IAgileObject*>(this);
    } else if (iid == __uuidof(IMarshal)) {
        return marshaler_->QueryInterface(iid, object);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ActivationHandler::AddRef() {
    return ++count_;
}

ULONG STDMETHODCALLTYPE ActivationHandler::Release() {
    const ULONG count = --count_;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE
ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) {
    SetEvent(event_);
    return S_OK;
}

PendingActivation::PendingActivation(uint32_t pid) : handler_(new ActivationHandler()) {
    LoopbackActivationParams params = {ACTIVATION_TYPE_PROCESS_LOOPBACK, pid,
                                       LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE};
    PROPVARIANT variant = {};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof(params);
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    started_ = activateProcessLoopback(&variant, handler_, &operation_);
}

PendingActivation::~PendingActivation() {
    if (operation_ != nullptr) {
        operation_->Release();
    }
    handler_->Release();
}

IAudioClient* PendingActivation::finish(HRESULT* result) {
    HRESULT activation = E_FAIL;
    // Some platforms leave the object untouched on failure, so it starts as none.
    IUnknown* object = nullptr;
    HRESULT hr = operation_->GetActivateResult(&activation, &object);
    if (SUCCEEDED(hr)) {
        hr = activation;
    }
    IAudioClient* client = nullptr;
    if (SUCCEEDED(hr) && object != nullptr) {
        hr = object->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client));
    }
    if (object != nullptr) {
        object->Release();
    }
    *result = hr;
    // client is set only by a QueryInterface that succeeded, whose result is hr.
    return client;
}

IAudioClient* activateLoopback(uint32_t pid, HRESULT* result) {
    PendingActivation activation(pid);
    HRESULT hr = activation.started();
    IAudioClient* client = nullptr;
    if (SUCCEEDED(hr)) {
        if (WaitForSingleObject(activation.completionEvent(),
                                static_cast<DWORD>(ACTIVATION_TIMEOUT_MS)) != WAIT_OBJECT_0) {
            hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        } else {
            client = activation.finish(&hr);
        }
    }
    if (result != nullptr) {
        *result = hr;
    }
    return client;
}

std::unique_ptr<ProcessCapture> startCapture(uint32_t pid, IAudioClient* client) {
    auto capture = std::make_unique<ProcessCapture>();
    capture->pid = pid;
    *capture->audioClient.put() = client; // takes over the activation's reference
    bool ok = SUCCEEDED(capture->audioClient->Initialize(
        AUDCLNT_SHAREMODE_SHARED, STREAM_FLAGS, BUFFER_DURATION, 0, &CAPTURE_FORMAT, nullptr));
    if (ok) {
        capture->event.assign(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ok =
            capture->event && SUCCEEDED(capture->audioClient->SetEventHandle(capture->event.get()));
    }
    ok = ok && SUCCEEDED(capture->audioClient->GetService(__uuidof(IAudioCaptureClient),
                                                          capture->captureClient.putVoid()));
    ok = ok && SUCCEEDED(capture->audioClient->Start());
    if (!ok) {
        stopCapture(*capture);
        return nullptr;
    }
    capture->running.store(true);
    capture->thread = std::thread(captureThread, capture.get());
    return capture;
}

void stopCapture(ProcessCapture& capture) {
    capture.running.exchange(false);
    if (capture.thread.joinable()) {
        capture.thread.join();
    }
    if (capture.audioClient) {
        capture.audioClient->Stop();
    }
    capture.captureClient.reset();
    capture.audioClient.reset();
    capture.event.reset();
}
