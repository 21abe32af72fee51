// A program that links the crash report and then fails as its argument says:
// "fault" (an access violation in crashTestFault), "terminate" (an exception
// out of a noexcept function) or "abort". First it prints the system time in
// ms since 1970, from which the test measures the time to its end.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "diag/diag.h"

namespace {

int* volatile g_nowhere = nullptr;

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
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const ULONGLONG ticks = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    std::printf("%llu\n", (ticks - 116444736000000000ULL) / 10000);
    std::fflush(stdout);
    if (how == L"terminate") crashTestNoexcept();
    if (how == L"abort") std::abort();
    crashTestFault();
    return 0;
}
