// The simulated audio system: answers the helper's platform calls from the
// scenario file named by TOLVIN_SIM_SCENARIO, re-read at every call so a test can
// change the world while the helper runs. Its audio client accepts only the
// exact stream set-up the helper must ask for (stricter than the platform, which
// would take other durations and flags too) and produces the scenario's tones in
// real time.
#include <windows.h>
#include <audioclient.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "capture/platform_win.h"
#include "capture/session_scan.h"
#include "capture/sim/sim_scenario.h"

namespace {

constexpr UINT32 SIM_PACKET_FRAMES = 480;
constexpr DWORD SIM_PACKET_PERIOD_MS = 10;
constexpr DWORD SIM_COMPLETION_DELAY_MS = 5;
constexpr HRESULT SIM_E_ILLEGAL_METHOD_CALL = static_cast<HRESULT>(0x8000000E);
// Auto-convert PCM, event callback and loopback; written out as a number so that
// it does not merely repeat the helper's own expression.
constexpr DWORD SIM_STREAM_FLAGS = 0x80060000;
constexpr REFERENCE_TIME SIM_BUFFER_DURATION = 200000; // 20 ms in 100-ns units

SimScenario loadScenario() {
    const char* path = std::getenv("TOLVIN_SIM_SCENARIO");
    if (path == nullptr) {
        return {};
    }
    std::ifstream in(path);
    return readSimScenario(in);
}

int64_t counterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t counterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// A process-loopback client and its capture service in one object, sharing one count.
class SimAudioClient final : public IAudioClient, public IAudioCaptureClient {
  public:
    explicit SimAudioClient(std::vector<SimTone> tones) : tones_(std::move(tones)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioClient)) {
            *object = static_cast<IAudioClient*>(this);
        } else if (iid == __uuidof(IAudioCaptureClient)) {
            *object = static_cast<IAudioCaptureClient*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --count_;
        if (count == 0) {
            Stop();
            delete this;
        }
        return count;
    }

    // Takes exactly the stream the helper asks of the process-loopback client and
    // refuses anything else, so a wrong argument leaves the capture unstarted and
    // its sound missing from the output.
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID session) override {
        if (initialized_) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (mode != AUDCLNT_SHAREMODE_SHARED || flags != SIM_STREAM_FLAGS ||
            bufferDuration != SIM_BUFFER_DURATION || periodicity != 0 || format == nullptr ||
            session != nullptr) {
            return E_INVALIDARG;
        }
        if (format->wFormatTag != WAVE_FORMAT_PCM || format->nChannels != 2 ||
            format->nSamplesPerSec != 48000 || format->nAvgBytesPerSec != 192000 ||
            format->nBlockAlign != 4 || format->wBitsPerSample != 16 || format->cbSize != 0) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        initialized_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    // As on the platform's process-loopback client.
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (event_ == nullptr) {
            return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        }
        if (started_.exchange(true)) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        startCounter_ = counterNow();
        signaller_ = std::thread([this] {
            while (started_.load()) {
                Sleep(SIM_PACKET_PERIOD_MS);
                SetEvent(event_);
            }
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!started_.exchange(false)) {
            return S_FALSE;
        }
        signaller_.join();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        event_ = event;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** object) override {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (iid != __uuidof(IAudioCaptureClient)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return QueryInterface(iid, object);
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64*) override {
        UINT32 available = 0;
        GetNextPacketSize(&available);
        if (available == 0) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        packet_.assign(SIM_PACKET_FRAMES * 2, 0);
        bool silent = true;
        for (const SimTone& tone : tones_) {
            silent = silent && tone.silent;
        }
        for (UINT32 i = 0; i < SIM_PACKET_FRAMES * 2; ++i) {
            int sum = 0;
            for (const SimTone& tone : tones_) {
                sum += tone.silent ? 0 : simToneValue(tone, delivered_ + i / 2);
            }
            // A silent packet's data is meaningless; make it loud so that reading it shows.
            packet_[i] = static_cast<int16_t>(silent ? 0x5A5A : std::clamp(sum, -32768, 32767));
        }
        *data = reinterpret_cast<BYTE*>(packet_.data());
        *frames = SIM_PACKET_FRAMES;
        *flags = silent && !tones_.empty() ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        delivered_ += frames;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        // A stopped stream and a tree without tones deliver no packets.
        if (!started_.load()) {
            *frames = 0;
            return S_OK;
        }
        const uint64_t due =
            static_cast<uint64_t>((counterNow() - startCounter_) * 48000 / counterFrequency());
        *frames = !tones_.empty() && due >= delivered_ + SIM_PACKET_FRAMES ? SIM_PACKET_FRAMES : 0;
        return S_OK;
    }

  private:
    ~SimAudioClient() = default;

    std::atomic<ULONG> count_{1};
    std::vector<SimTone> tones_;
    bool initialized_ = false;
    HANDLE event_ = nullptr;
    std::atomic<bool> started_{false};
    std::thread signaller_;
    int64_t startCounter_ = 0;
    uint64_t delivered_ = 0;
    std::vector<int16_t> packet_;
};

class SimActivationOperation final : public IActivateAudioInterfaceAsyncOperation {
  public:
    SimActivationOperation(HRESULT result, IUnknown* object) : result_(result), object_(object) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IActivateAudioInterfaceAsyncOperation)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --count_;
        if (count == 0) {
            if (object_ != nullptr) {
                object_->Release();
            }
            delete this;
        }
        return count;
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** object) override {
        *result = result_;
        // Like some platforms, a failed activation leaves the object place untouched.
        if (SUCCEEDED(result_) && object_ != nullptr) {
            object_->AddRef();
            *object = object_;
        }
        return S_OK;
    }

  private:
    ~SimActivationOperation() = default;

    std::atomic<ULONG> count_{1};
    HRESULT result_;
    IUnknown* object_;
};

bool validLoopbackParams(const PROPVARIANT* params, DWORD* pid) {
    if (params == nullptr || params->vt != VT_BLOB || params->blob.cbSize != 12 ||
        params->blob.pBlobData == nullptr) {
        return false;
    }
    DWORD fields[3];
    std::memcpy(fields, params->blob.pBlobData, sizeof(fields));
    *pid = fields[1];
    // Activation type process loopback, include-tree mode.
    return fields[0] == 1 && fields[2] == 0;
}

} // namespace

bool snapshotProcesses(std::vector<ProcessEntry>& entries) {
    const SimScenario scenario = loadScenario();
    if (scenario.snapshotFails) {
        return false;
    }
    for (const SimProcess& process : scenario.processes) {
        entries.push_back(
            {process.pid, process.parent, std::wstring(process.name.begin(), process.name.end())});
    }
    return true;
}

void collectSessionPids(std::set<uint32_t>& pids) {
    const SimScenario scenario = loadScenario();
    if (scenario.enumeratorFails) {
        return;
    }
    for (const SimSession& session : scenario.sessions) {
        if (scenario.inactiveEndpoints.count(session.endpoint) != 0 ||
            !sessionCounts(session.state, session.system ? HR_S_OK : HR_S_FALSE)) {
            continue;
        }
        if (const std::optional<uint32_t> source = sessionPid(HR_S_OK, session.pid)) {
            pids.insert(*source);
        }
    }
}

HRESULT activateProcessLoopback(PROPVARIANT* params,
                                IActivateAudioInterfaceCompletionHandler* handler,
                                IActivateAudioInterfaceAsyncOperation** operation) {
    DWORD pid = 0;
    if (operation == nullptr || handler == nullptr || !validLoopbackParams(params, &pid)) {
        return E_INVALIDARG;
    }
    // The platform calls back on one of its own threads and insists on an agile handler.
    IAgileObject* agile = nullptr;
    if (FAILED(handler->QueryInterface(__uuidof(IAgileObject), reinterpret_cast<void**>(&agile)))) {
        return SIM_E_ILLEGAL_METHOD_CALL;
    }
    agile->Release();

    const SimScenario scenario = loadScenario();
    SimActivation how;
    const auto found = scenario.activations.find(pid == GetCurrentProcessId() ? SIM_SELF : pid);
    if (found != scenario.activations.end()) {
        how = found->second;
    }
    if (how.kind == SimActivationKind::REFUSE) {
        return static_cast<HRESULT>(how.code);
    }
    IUnknown* client = nullptr;
    if (how.kind == SimActivationKind::OK) {
        client = static_cast<IAudioClient*>(new SimAudioClient(simTreeTones(scenario, pid)));
    }
    auto* op = new SimActivationOperation(
        how.kind == SimActivationKind::FAIL ? static_cast<HRESULT>(how.code) : S_OK, client);
    handler->AddRef();
    if (how.kind != SimActivationKind::NEVER) {
        op->AddRef();
        std::thread([handler, op] {
            Sleep(SIM_COMPLETION_DELAY_MS);
            handler->ActivateCompleted(op);
            op->Release();
            handler->Release();
        }).detach();
    }
    // A completion that never comes keeps its handler reference for good.
    *operation = op;
    return S_OK;
}
