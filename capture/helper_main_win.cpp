// tolvin-app-audio: captures other programs' sound and writes it to standard
// output as an endless stream of 48 kHz stereo float blocks, one every 10 ms,
// until its standard input (the life-line) closes.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/helper_win.h"
#include "capture/output_stream.h"
#include "capture/platform_win.h"
#include "diag/diag.h"
#include "tolvin_version.h"

namespace {

constexpr int EXIT_ENDED = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_UNSUPPORTED = 2;
constexpr uint64_t FIRST_SCAN_WAIT_MS = 1000;

// Ends the process at once with the given code. Unlike ExitProcess, no runtime or
// driver shutdown code runs, so nothing can wait for a lock that one of the
// stopped threads held; the caller that would otherwise terminate a hung helper
// may itself be gone.
[[noreturn]] void endNow(int code) {
    logEvent(LogLevel::Info, LogSource::AppAudio, L"end, " + exitText(static_cast<uint32_t>(code)));
    flushLog(std::chrono::milliseconds(500));
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::abort();
}

// Standard error is a text-mode stream for the reader, so a line ends in CR LF.
// Each message goes out in one write, so the reader never sees half of one.
void writeError(const std::string& text) {
    const std::string_view line = lastLine(text);
    logEvent(line == "ready" ? LogLevel::Info : LogLevel::Error, LogSource::AppAudio,
             excerpt(line, 256));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

void lifeLine() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char scratch[256];
    DWORD read = 0;
    while (ReadFile(input, scratch, sizeof(scratch), &read, nullptr) && read > 0) {
    }
    // Ending the process outright stops every thread wherever it is; nothing needs
    // an orderly stop and nothing is left for the caller to wait for.
    endNow(EXIT_ENDED);
}

uint32_t windowOwner(uint64_t handle) {
    DWORD pid = 0;
    if (GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<uintptr_t>(handle)), &pid) ==
        0) {
        return 0;
    }
    return pid;
}

int64_t counterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// Waits about `remaining` counter ticks: on the high-resolution timer where there
// is one, else by Sleep, which wakes on the system's tick (15.6 ms on many
// machines) and makes blocks leave late and in bursts.
void pacingWait(HANDLE timer, int64_t remaining, int64_t frequency) {
    LARGE_INTEGER due;
    due.QuadPart = -pacingTimerUnits(remaining, frequency); // negative: relative
    if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
    } else {
        platformSleep(static_cast<DWORD>(pacingSleepMillis(remaining, frequency)));
    }
}

[[noreturn]] void streamBlocks(ScanContext& context) {
    // The loop never returns (the process ends from inside it), so the scheduler
    // registration lasts as long as the stream.
    const AudioThreadPriority priority(L"Audio");
    OwnedHandle timer;
    timer.assign(createHighResolutionTimer());
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    LARGE_INTEGER frequencyValue;
    QueryPerformanceFrequency(&frequencyValue);
    const int64_t frequency = frequencyValue.QuadPart;
    const int64_t c0 = counterNow();
    std::vector<float> block(BLOCK_SAMPLES);

    for (int64_t n = 0;; ++n) {
        const int64_t due = blockDueTime(c0, frequency, n);
        for (int64_t now = counterNow(); now < due; now = counterNow()) {
            pacingWait(timer.get(), due - now, frequency);
        }

        const size_t late = samplesIn(counterNow() - due, frequency);
        std::fill(block.begin(), block.end(), 0.0f);
        AcquireSRWLockExclusive(&context.tableLock);
        for (auto& entry : context.captures) {
            ProcessCapture& capture = *entry.second;
            AcquireSRWLockExclusive(&capture.queueLock);
            capture.queue.mixInto(block, late);
            ReleaseSRWLockExclusive(&capture.queueLock);
        }
        ReleaseSRWLockExclusive(&context.tableLock);
        clampBlock(block);

        // The output is unbuffered, so one whole write is also the flush.
        const DWORD size = static_cast<DWORD>(block.size() * sizeof(float));
        DWORD written = 0;
        if (!WriteFile(output, block.data(), size, &written, nullptr) || written < size) {
            // The reader is gone; the other threads still use the tables, so end here.
            endNow(EXIT_ENDED);
        }
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    startDiagnostics(L"app-audio", LogSource::AppAudio);
    logEvent(LogLevel::Info, LogSource::AppAudio,
             L"start tolvin-app-audio " TOLVIN_VERSION_WTEXT L" on " + windowsVersion() +
                 (programIsSigned() ? L", signed" : L", unsigned"));

    const std::vector<std::wstring> args(argv + 1, argv + argc);
    auto* context = new ScanContext();
    context->options = parseHelperOptions(args, windowOwner);
    if (!namesTarget(context->options)) {
        writeError(
            "usage: tolvin-app-audio --window <hwnd> [--self <pid>] | --all-except <pid>\r\n");
        endNow(EXIT_USAGE);
    }

    // Process loopback is missing on older systems; the probe says so before the
    // caller waits for a stream that would never come.
    HRESULT probe = S_OK;
    if (IAudioClient* client = activateLoopback(GetCurrentProcessId(), &probe)) {
        client->Release();
    } else {
        char text[32];
        std::snprintf(text, sizeof(text), "unsupported 0x%08lx\r\n",
                      static_cast<unsigned long>(probe));
        writeError(text);
        endNow(EXIT_UNSUPPORTED);
    }

    // The caller gives up after 4000 ms without "ready", so the first scan waits
    // only so long for its activations; what completes later joins then.
    scanSessions(*context);
    awaitActivations(*context, GetTickCount64() + FIRST_SCAN_WAIT_MS, true);
    std::thread(lifeLine).detach();
    writeError("ready\r\n");
    std::thread(rescanForever, std::ref(*context)).detach();
    streamBlocks(*context);
}
