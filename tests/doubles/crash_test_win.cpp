// A program that links the crash report and then fails as its argument says:
// "fault" (an access violation in crashTestFault), "terminate" (an exception
// out of a noexcept function) or "abort". With "log" it prints instead what a
// log line costs the thread that logs it, in bursts of 500 lines.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/diag.h"

namespace {

int* volatile g_nowhere = nullptr;

int logCost() {
    std::vector<double> us;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    for (int i = 0; i < 20000; ++i) {
        std::wstring text = L"share " + std::to_wstring(i) + L" ended: helper exit code 0";
        QueryPerformanceCounter(&start);
        logEvent(LogLevel::Info, LogSource::AppAudio, std::move(text));
        QueryPerformanceCounter(&end);
        us.push_back((end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart);
        if (i % 500 == 499 && !flushLog(std::chrono::seconds(5))) return 1;
    }
    std::sort(us.begin(), us.end());
    std::printf(
        "logEvent on the calling thread, %zu lines: median %.2f us, p99 %.2f us, max %.1f us\n",
        us.size(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    return 0;
}

__attribute__((noinline)) void crashTestFault() {
    *g_nowhere = 1;
}

__attribute__((noinline)) void crashTestThrow() {
    throw std::runtime_error("not caught");
}

__attribute__((noinline)) void crashTestNoexcept() noexcept {
    crashTestThrow();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    startDiagnostics(L"crash-test", LogSource::Shell);
    const std::wstring how = argc > 1 ? argv[1] : L"fault";
    if (how == L"log") return logCost();
    if (how == L"terminate") crashTestNoexcept();
    if (how == L"abort") std::abort();
    crashTestFault();
    return 0;
}
