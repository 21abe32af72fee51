// The simulated audio system: answers the helper's platform calls from the
// scenario file named by TOLVIN_SIM_SCENARIO, re-read at every call so a test can
// change the world while the helper runs. It is as strict as the platform where
// the helper relies on it: the audio client accepts only the exact stream set-up
// the helper must ask for, the stream keeps only 20 ms of sound for the helper to
// take, the capture client's packet protocol is enforced, and the audio and
// capture clients keep separate reference counts. What it sees goes to a report
// file beside the scenario ("<scenario>.report"), rewritten whole after every
// change so that it is complete whenever the process ends:
//
//   activations <pid>|self <count>
//   marshal free-threaded|not-aggregated|other|none   what the last activation's
//          completion handler answered to IMarshal
//   stream <id> <pid>|self audio=<refs> capture=<refs> idle|running|stopped
//          discontinuities=<n> lost=<frames> started=<Unix time in ms, 0 before>
//   breach <what>
//
// A breach of the platform's rules also ends the helper at once with code 3 and
// the breach on standard error, so no test can pass over it.
#include <windows.h>
#include <audioclient.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/platform_win.h"
#include "capture/session_scan.h"
#include "capture/sim/sim_scenario.h"
#include "common/com_ref_win.h"

namespace {

constexpr UINT32 SIM_BUFFER_FRAMES = 960; // the 20 ms the helper asks for
constexpr double SIM_RATE = 48000;
constexpr int64_t SIM_TONE_REFRESH_MS = 250;
constexpr UINT SIM_BREACH_EXIT = 3;
constexpr HRESULT SIM_E_ILLEGAL_METHOD_CALL = static_cast<HRESULT>(0x8000000E);
// Auto-convert PCM, event callback and loopback; written out as a number so that
// it does not merely repeat the helper's own expression.
constexpr DWORD SIM_STREAM_FLAGS = 0x80060000;
constexpr REFERENCE_TIME SIM_BUFFER_DURATION = 200000; // 20 ms in 100-ns units

const char* scenarioPath() {
    return std::getenv("TOLVIN_SIM_SCENARIO");
}

SimScenario loadScenario() {
    const char* path = scenarioPath();
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

std::string pidName(uint32_t pid) {
    return pid == GetCurrentProcessId() ? "self" : std::to_string(pid);
}

struct StreamRecord {
    std::string pid;
    long audioRefs = 1;
    long captureRefs = 0;
    const char* state = "idle";
    uint64_t discontinuities = 0;
    uint64_t lostFrames = 0;
    int64_t startedMs = 0;
};

// Everything the report file says, kept under one lock.
class SimReport {
  public:
    void countActivation(uint32_t pid, const char* marshal) {
        change([&] {
            ++activations_[pidName(pid)];
            marshal_ = marshal;
        });
    }
    int addStream(uint32_t pid) {
        int id = 0;
        change([&] {
            id = static_cast<int>(streams_.size());
            streams_.push_back({pidName(pid)});
        });
        return id;
    }
    template <typename F> void changeStream(int id, F&& f) {
        change([&] { f(streams_[id]); });
    }
    [[noreturn]] void breach(const std::string& what) {
        change([&] { breaches_.push_back(what); });
        const std::string text = "simulated platform: " + what + "\r\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                  &written, nullptr);
        TerminateProcess(GetCurrentProcess(), SIM_BREACH_EXIT);
        std::abort();
    }

  private:
    template <typename F> void change(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f();
        write();
    }
    void write() {
        const char* scenario = scenarioPath();
        if (scenario == nullptr) {
            return;
        }
        std::ostringstream text;
        for (const auto& [pid, count] : activations_) {
            text << "activations " << pid << ' ' << count << '\n';
        }
        if (marshal_ != nullptr) {
            text << "marshal " << marshal_ << '\n';
        }
        for (size_t id = 0; id < streams_.size(); ++id) {
            const StreamRecord& s = streams_[id];
            text << "stream " << id << ' ' << s.pid << " audio=" << s.audioRefs
                 << " capture=" << s.captureRefs << ' ' << s.state
                 << " discontinuities=" << s.discontinuities << " lost=" << s.lostFrames
                 << " started=" << s.startedMs << '\n';
        }
        for (const std::string& what : breaches_) {
            text << "breach " << what << '\n';
        }
        const std::string path = std::string(scenario) + ".report";
        const std::string temporary = path + ".tmp";
        const std::string bytes = text.str();
        const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    std::mutex mutex_;
    std::map<std::string, int> activations_;
    const char* marshal_ = nullptr;
    std::vector<StreamRecord> streams_;
    std::vector<std::string> breaches_;
};

SimReport& report() {
    static SimReport* instance = new SimReport();
    return *instance;
}

// One process-loopback stream: its audio client, and its capture client as a
// second object with a count of its own. Kept after the last release, so that a
// release too many is seen rather than corrupting memory.
class SimStream final : public IAudioClient {
  public:
    SimStream(uint32_t pid, SimStreamSettings settings)
        : pid_(pid), settings_(std::move(settings)), id_(report().addStream(pid)),
          rate_(SIM_RATE * (1 + settings_.ppm / 1e6) / static_cast<double>(counterFrequency())) {
        refreshTones();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        // The capture client is a service of the audio client, not one of its interfaces.
        if (iid != __uuidof(IUnknown) && iid != __uuidof(IAudioClient)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IAudioClient*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return count(&StreamRecord::audioRefs, +1); }
    ULONG STDMETHODCALLTYPE Release() override { return count(&StreamRecord::audioRefs, -1); }

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
        // Wall-clock time, which a test can set against its own.
        FILETIME now;
        GetSystemTimePreciseAsFileTime(&now);
        const int64_t startedMs =
            static_cast<int64_t>(
                (static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000) -
            11644473600000;
        report().changeStream(id_, [&](StreamRecord& r) {
            r.state = "running";
            r.startedMs = startedMs;
        });
        signaller_ = std::thread([this] { signalPackets(); });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!started_.exchange(false)) {
            return S_FALSE;
        }
        signaller_.join();
        report().changeStream(id_, [](StreamRecord& r) { r.state = "stopped"; });
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
        return capture_.QueryInterface(iid, object);
    }

  private:
    // The capture service: its own interface and count, the stream's packets.
    class Capture final : public IAudioCaptureClient {
      public:
        explicit Capture(SimStream& stream) : stream_(stream) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
            if (object == nullptr) {
                return E_POINTER;
            }
            if (iid != __uuidof(IUnknown) && iid != __uuidof(IAudioCaptureClient)) {
                *object = nullptr;
                return E_NOINTERFACE;
            }
            *object = static_cast<IAudioCaptureClient*>(this);
            AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override {
            return stream_.count(&StreamRecord::captureRefs, +1);
        }
        ULONG STDMETHODCALLTYPE Release() override {
            return stream_.count(&StreamRecord::captureRefs, -1);
        }
        HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                            UINT64* position, UINT64* counter) override {
            return stream_.getBuffer(data, frames, flags, position, counter);
        }
        HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
            return stream_.releaseBuffer(frames);
        }
        HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
            return stream_.nextPacketSize(frames);
        }

      private:
        SimStream& stream_;
    };

    ULONG count(long StreamRecord::*refs, long change) {
        long now = 0;
        long total = 0;
        report().changeStream(id_, [&](StreamRecord& r) {
            now = r.*refs + change;
            r.*refs = now;
            total = r.audioRefs + r.captureRefs;
        });
        if (now < 0) {
            report().breach("a stream object was released more often than it was referenced");
        }
        if (total == 0 && started_.exchange(false)) {
            signaller_.join();
        }
        return static_cast<ULONG>(now);
    }

    int64_t producedFrames(int64_t now) const {
        return static_cast<int64_t>(static_cast<double>(now - startCounter_) * rate_);
    }
    int64_t counterAtFrames(int64_t frames) const {
        return startCounter_ + static_cast<int64_t>(std::ceil(static_cast<double>(frames) / rate_));
    }

    // Sets the event each time a packet is complete, until the scenario stops it.
    void signalPackets() {
        const int64_t frequency = counterFrequency();
        int64_t end = 0;
        for (uint64_t index = 0; started_.load(); ++index) {
            end += simPacketFrames(settings_, index);
            const int64_t due = counterAtFrames(end);
            for (int64_t now = counterNow(); now < due && started_.load(); now = counterNow()) {
                Sleep(static_cast<DWORD>(std::max<int64_t>(1, (due - now) * 1000 / frequency)));
            }
            const int64_t elapsedMs = (counterNow() - startCounter_) * 1000 / frequency;
            if (settings_.eventStopsMs < 0 || elapsedMs < settings_.eventStopsMs) {
                SetEvent(event_);
            }
        }
    }

    void refreshTones() {
        tones_ = simTreeTones(loadScenario(), pid_);
        tonesLoadedAt_ = GetTickCount64();
    }

    // Brings the next packet up to now: packets that the buffer could not hold any
    // longer are lost, and the next one delivered is marked as a discontinuity. A
    // tree that plays nothing delivers no packets and loses nothing.
    // Returns the size of the next packet when it is complete, else 0.
    UINT32 advance() {
        if (GetTickCount64() - tonesLoadedAt_ >= SIM_TONE_REFRESH_MS) {
            refreshTones();
        }
        const int64_t produced = producedFrames(counterNow());
        for (;;) {
            const UINT32 frames = simPacketFrames(settings_, index_);
            const bool complete = produced >= next_ + frames;
            const bool overwritten = produced - next_ > SIM_BUFFER_FRAMES;
            if (tones_.empty() ? !complete : !overwritten) {
                return complete && !tones_.empty() ? frames : 0;
            }
            if (!tones_.empty()) {
                lostFrames_ += frames;
                discontinuity_ = true;
            }
            next_ += frames;
            ++index_;
        }
    }

    // From the scenario's time on, the stream is gone: every packet call fails.
    bool failing() const {
        return settings_.failsMs >= 0 && started_.load() &&
               (counterNow() - startCounter_) * 1000 / counterFrequency() >= settings_.failsMs;
    }

    HRESULT nextPacketSize(UINT32* frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        *frames = 0;
        if (failing()) {
            return static_cast<HRESULT>(settings_.failCode);
        }
        *frames = started_.load() && heldFrames_ < 0 ? advance() : 0;
        return S_OK;
    }

    HRESULT getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (heldFrames_ >= 0) {
            report().breach("GetBuffer called again before ReleaseBuffer");
        }
        const bool gone = failing();
        const UINT32 size = started_.load() && !gone ? advance() : 0;
        heldFrames_ = gone ? -1 : size;
        if (size == 0) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return gone ? static_cast<HRESULT>(settings_.failCode) : AUDCLNT_S_BUFFER_EMPTY;
        }
        bool silent = true;
        for (const SimTone& tone : tones_) {
            silent = silent && tone.silent;
        }
        packet_.assign(size * 2, 0);
        for (UINT32 i = 0; i < size * 2; ++i) {
            int sum = 0;
            for (const SimTone& tone : tones_) {
                sum += tone.silent ? 0 : simToneValue(tone, next_ + i / 2);
            }
            // A silent packet's data is meaningless; make it loud so that reading it shows.
            packet_[i] = static_cast<int16_t>(silent ? 0x5A5A : std::clamp(sum, -32768, 32767));
        }
        *data = reinterpret_cast<BYTE*>(packet_.data());
        *frames = size;
        *flags = (silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0) |
                 (discontinuity_ ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        if (discontinuity_) {
            discontinuity_ = false;
            const uint64_t lost = lostFrames_;
            report().changeStream(id_, [&](StreamRecord& r) {
                ++r.discontinuities;
                r.lostFrames = lost;
            });
        }
        return S_OK;
    }

    // The platform takes back either the whole packet or none of it.
    HRESULT releaseBuffer(UINT32 frames) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (heldFrames_ < 0) {
            report().breach("ReleaseBuffer called without GetBuffer");
        }
        if (frames != 0 && static_cast<int64_t>(frames) != heldFrames_) {
            report().breach("ReleaseBuffer of " + std::to_string(frames) + " frames after " +
                            std::to_string(heldFrames_) + " were obtained");
        }
        if (frames != 0) {
            next_ += frames;
            ++index_;
        }
        heldFrames_ = -1;
        return S_OK;
    }

    ~SimStream() = default;

    const uint32_t pid_;
    const SimStreamSettings settings_;
    const int id_;
    const double rate_; // frames per counter tick
    Capture capture_{*this};
    bool initialized_ = false;
    HANDLE event_ = nullptr;
    std::atomic<bool> started_{false};
    std::thread signaller_;
    int64_t startCounter_ = 0;

    // The capture side, under mutex_.
    std::mutex mutex_;
    std::vector<SimTone> tones_;
    uint64_t tonesLoadedAt_ = 0;
    int64_t next_ = 0; // stream position of the next packet's first frame
    uint64_t index_ = 0;
    bool discontinuity_ = false;
    uint64_t lostFrames_ = 0;
    int64_t heldFrames_ = -1; // frames of the packet obtained and not released; -1: none
    std::vector<int16_t> packet_;
};

class SimActivationOperation final : public IActivateAudioInterfaceAsyncOperation {
  public:
    SimActivationOperation(SimActivation how, IUnknown* object) : how_(how), object_(object) {}

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
        switch (how_.kind) {
        case SimActivationKind::BROKEN:
            return static_cast<HRESULT>(how_.code);
        case SimActivationKind::FAIL:
            // Like some platforms, a failed activation leaves the object place untouched.
            *result = static_cast<HRESULT>(how_.code);
            return S_OK;
        case SimActivationKind::EMPTY:
            *result = S_OK;
            *object = nullptr;
            return S_OK;
        default:
            *result = S_OK;
            object_->AddRef();
            *object = object_;
            return S_OK;
        }
    }

  private:
    ~SimActivationOperation() = default;

    std::atomic<ULONG> count_{1};
    SimActivation how_;
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

// The class that unmarshals what a marshaler writes for an in-process caller.
CLSID inProcessUnmarshaler(IMarshal* marshal, IUnknown* object) {
    CLSID unmarshaler = {};
    marshal->GetUnmarshalClass(__uuidof(IUnknown), object, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL,
                               &unmarshaler);
    return unmarshaler;
}

// What the handler answers to IMarshal: the free-threaded marshaler (told by the
// unmarshal class a marshaler of that kind made here gives), and aggregated with
// the handler, so that it gives the handler's own identity.
const char* handlerMarshal(IActivateAudioInterfaceCompletionHandler* handler) {
    ComRef<IMarshal> marshal;
    if (FAILED(handler->QueryInterface(__uuidof(IMarshal), marshal.putVoid()))) {
        return "none";
    }
    ComRef<IUnknown> reference;
    ComRef<IMarshal> referenceMarshal;
    CoCreateFreeThreadedMarshaler(nullptr, reference.put());
    reference->QueryInterface(__uuidof(IMarshal), referenceMarshal.putVoid());
    if (inProcessUnmarshaler(marshal.get(), handler) !=
        inProcessUnmarshaler(referenceMarshal.get(), handler)) {
        return "other";
    }
    ComRef<IUnknown> fromMarshal;
    ComRef<IUnknown> fromHandler;
    marshal->QueryInterface(__uuidof(IUnknown), fromMarshal.putVoid());
    handler->QueryInterface(__uuidof(IUnknown), fromHandler.putVoid());
    return fromMarshal.get() == fromHandler.get() ? "free-threaded" : "not-aggregated";
}

// A made-up process with the helper's own id would be left out as the helper
// itself and its sound would be missing for reasons no test means.
void checkMadeUpIds(const SimScenario& scenario) {
    const uint32_t self = GetCurrentProcessId();
    const bool clash =
        std::any_of(scenario.processes.begin(), scenario.processes.end(),
                    [&](const SimProcess& process) { return process.pid == self; }) ||
        std::any_of(scenario.sessions.begin(), scenario.sessions.end(),
                    [&](const SimSession& session) { return session.pid == self; });
    if (clash) {
        report().breach("the scenario names the helper's own process id " + std::to_string(self));
    }
}

} // namespace

bool snapshotProcesses(std::vector<ProcessEntry>& entries) {
    const SimScenario scenario = loadScenario();
    checkMadeUpIds(scenario);
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
    checkMadeUpIds(scenario);
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

    report().countActivation(pid, handlerMarshal(handler));
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
        const auto settings = scenario.streams.find(pid);
        client = static_cast<IAudioClient*>(new SimStream(
            pid, settings == scenario.streams.end() ? SimStreamSettings{} : settings->second));
    }
    auto* op = new SimActivationOperation(how, client);
    handler->AddRef();
    if (how.kind != SimActivationKind::NEVER) {
        op->AddRef();
        std::thread([handler, op, delay = how.delayMs] {
            Sleep(delay);
            handler->ActivateCompleted(op);
            op->Release();
            handler->Release();
        }).detach();
    }
    // A completion that never comes keeps its handler reference for good.
    *operation = op;
    return S_OK;
}

HANDLE createHighResolutionTimer() {
    if (!loadScenario().highResolutionTimer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Wine's timers wake on time, as the high-resolution kind does on Windows.
    return CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

// Windows wakes a sleeping thread only on its timer tick (15.6 ms unless raised);
// Wine wakes it within about a millisecond. The scenario's tick brings the first back.
void platformSleep(DWORD ms) {
    static const double tickMs = loadScenario().tickMs;
    if (tickMs <= 0) {
        Sleep(ms);
        return;
    }
    const double frequency = static_cast<double>(counterFrequency());
    const double now = static_cast<double>(counterNow());
    const double tick = tickMs * frequency / 1000;
    const double wake = std::ceil((now + ms * frequency / 1000) / tick) * tick;
    Sleep(static_cast<DWORD>(std::ceil((wake - now) * 1000 / frequency)));
}
