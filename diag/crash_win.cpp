#include <windows.h>
#include <dbghelp.h>

#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include "diag/diag.h"

namespace {

using MiniDumpWriteDumpFn = decltype(&MiniDumpWriteDump);

// Set once at start; the crashing thread hands the reporter its exception and
// waits. Walking and dumping on the crashing stack would fail exactly when that
// stack has overflowed.
struct CrashReport {
    std::wstring folder;
    std::wstring program; // the file name only
    LogSource source = LogSource::Shell;
    MiniDumpWriteDumpFn writeDump = nullptr;
    HANDLE request = nullptr;
    HANDLE done = nullptr;
    DWORD reporterId = 0;
    LONG taken = 0;
    EXCEPTION_POINTERS* pointers = nullptr;
    DWORD threadId = 0;
    const wchar_t* what = L"";
};
CrashReport g_crash;

constexpr DWORD REPORT_LIMIT_MS = 10000;
constexpr int MOST_FRAMES = 48;

// A module's file name without its folder: a path can hold the user's name.
std::wstring moduleName(HMODULE module) {
    wchar_t path[MAX_PATH];
    const std::wstring full(path, GetModuleFileNameW(module, path, MAX_PATH));
    return full.substr(full.find_last_of(L"\\/") + 1);
}

CrashFrame frameAt(DWORD64 address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return {L"", address};
    return {moduleName(module), address - reinterpret_cast<DWORD64>(module)};
}

// The x64 unwind data of each function gives its caller's frame; a function
// without any (a leaf) left its return address on top of the stack.
std::vector<CrashFrame> walkStack(CONTEXT context) {
    std::vector<CrashFrame> frames;
    while (context.Rip && frames.size() < MOST_FRAMES) {
        frames.push_back(frameAt(context.Rip));
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisherFrame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                             &handlerData, &establisherFrame, nullptr);
        } else {
            SIZE_T got = 0;
            if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(context.Rsp),
                                   &context.Rip, sizeof(context.Rip), &got))
                break;
            context.Rsp += sizeof(context.Rip);
        }
    }
    return frames;
}

void writeDump(EXCEPTION_POINTERS* pointers, DWORD threadId) {
    if (!g_crash.writeDump) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    const UtcTime time{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                       now.wMinute, now.wSecond, now.wMilliseconds};
    const std::wstring path =
        g_crash.folder + L"\\" + dumpName(time, GetCurrentProcessId(), g_crash.program);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    MINIDUMP_EXCEPTION_INFORMATION exception{threadId, pointers, FALSE};
    g_crash.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                      nullptr, nullptr);
    CloseHandle(file);
}

void deleteOldDumps() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((g_crash.folder + L"\\crash-*.dmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    for (const std::wstring& name : dumpsToDelete(std::move(names)))
        DeleteFileW((g_crash.folder + L"\\" + name).c_str());
}

DWORD WINAPI reporter(void*) {
    WaitForSingleObject(g_crash.request, INFINITE);
    EXCEPTION_POINTERS* pointers = g_crash.pointers;
    logEvent(LogLevel::Error, g_crash.source,
             crashText(g_crash.what, pointers->ExceptionRecord->ExceptionCode,
                       walkStack(*pointers->ContextRecord)));
    flushLog(std::chrono::milliseconds(2000));
    writeDump(pointers, g_crash.threadId);
    deleteOldDumps();
    SetEvent(g_crash.done);
    return 0;
}

// Hands the crash to the reporter once; a second crashing thread waits for the
// end the first one brings.
void report(EXCEPTION_POINTERS* pointers, const wchar_t* what) {
    if (GetCurrentThreadId() == g_crash.reporterId)
        TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
    if (InterlockedExchange(&g_crash.taken, 1)) Sleep(INFINITE);
    g_crash.pointers = pointers;
    g_crash.threadId = GetCurrentThreadId();
    g_crash.what = what;
    SetEvent(g_crash.request);
    WaitForSingleObject(g_crash.done, REPORT_LIMIT_MS);
}

// The process then ends with the exception code as its exit code.
LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
    report(pointers, L"");
    return EXCEPTION_EXECUTE_HANDLER;
}

// std::terminate and abort end the process without an exception: the report
// gets this thread's own context, and the process ends as abort would, with 3.
[[noreturn]] void reportHere(const wchar_t* what) {
    CONTEXT context{};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = STATUS_FATAL_APP_EXIT;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers{&record, &context};
    report(&pointers, what);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) Sleep(INFINITE);
}

void onAbortSignal(int) {
    reportHere(L"abort");
}

} // namespace

void startCrashReport(const std::wstring& folder, LogSource source) {
    g_crash.folder = folder;
    g_crash.source = source;
    g_crash.program = moduleName(nullptr);
    // Loaded now, from the system folder only: at crash time the loader lock may
    // be held by the crashing thread.
    if (HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        g_crash.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
            reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
    g_crash.request = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_crash.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_crash.request || !g_crash.done) return;
    HANDLE thread = CreateThread(nullptr, 0, reporter, nullptr, 0, &g_crash.reporterId);
    if (!thread) return;
    CloseHandle(thread);
    // Room on the main thread's stack for the filter after an overflow.
    ULONG guarantee = 32768;
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(onUnhandledException);
    std::set_terminate([] { reportHere(L"std::terminate"); });
    std::signal(SIGABRT, onAbortSignal);
}
