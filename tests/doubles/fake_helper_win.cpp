// A capture helper that misbehaves on request, copied beside Tolvin.exe as
// tolvin-app-audio.exe. The folder named by TOLVIN_FAKE_HELPER holds its orders
// in "mode", read at each start, and gets one JSON line per start appended to
// "runs": process id, command line, whether it has a console and what kind of
// handles its standard streams are. The orders are steps, run in order:
//
//   say <text>               writes text to standard error in one write
//   noise <n>                writes n dots to standard error in one write
//   sleep <ms>
//   pattern <n> <size>       writes n bytes of i % 251 to standard output, <size> at a time
//   stream <seconds>         10 ms blocks of 3840 bytes, paced like the real helper,
//                            for that long (0: for ever); each 8-byte frame holds
//                            its block's number and write time in microseconds,
//                            modulo 2^32 (uint32 each), so every chunk dates itself
//   exit <code>
//   deaf                     (anywhere) no life-line: only termination ends it
//
// After the last step it waits for its life-line like the real helper.

#include <windows.h>

#include <cstdint>
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/doubles/json_win.h"

namespace {

std::wstring g_folder;

std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) &&
           got > 0) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

void appendLine(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

bool writeAll(DWORD stream, const void* data, size_t size) {
    DWORD written = 0;
    return WriteFile(GetStdHandle(stream), data, static_cast<DWORD>(size), &written, nullptr) &&
           written == size;
}

long long nowMicros() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

std::string handleKind(DWORD stream) {
    switch (GetFileType(GetStdHandle(stream))) {
    case FILE_TYPE_PIPE:
        return jsonText("pipe");
    case FILE_TYPE_CHAR:
        return jsonText("char");
    case FILE_TYPE_DISK:
        return jsonText("disk");
    default:
        return jsonText("none");
    }
}

DWORD WINAPI lifeLine(void*) {
    char scratch[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), scratch, sizeof(scratch), &got, nullptr) &&
           got > 0) {
    }
    ExitProcess(0);
}

void pattern(long long total, long long size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (long long at = 0; at < total; at += size) {
        const long long n = std::min(size, total - at);
        for (long long i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((at + i) % 251);
        if (!writeAll(STD_OUTPUT_HANDLE, bytes.data(), static_cast<size_t>(n))) ExitProcess(0);
    }
}

void stream(long long seconds) {
    std::vector<uint32_t> block(960);
    const long long start = nowMicros();
    for (long long n = 0; seconds == 0 || n < seconds * 100; ++n) {
        const long long due = start + n * 10000;
        for (long long now = nowMicros(); now < due; now = nowMicros()) {
            Sleep(static_cast<DWORD>(std::max(1LL, (due - now) / 1000)));
        }
        const auto stamp = static_cast<uint32_t>(nowMicros());
        for (size_t i = 0; i < block.size(); i += 2) {
            block[i] = static_cast<uint32_t>(n);
            block[i + 1] = stamp;
        }
        if (!writeAll(STD_OUTPUT_HANDLE, block.data(), block.size() * 4)) ExitProcess(0);
    }
}

} // namespace

int wmain() {
    wchar_t folder[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TOLVIN_FAKE_HELPER", folder, MAX_PATH);
    g_folder = folder;
    appendLine(g_folder + L"\\runs", JsonObject()
                                         .add("pid", jsonNumber(GetCurrentProcessId()))
                                         .add("commandLine", jsonString(GetCommandLineW()))
                                         .add("console", jsonBool(GetConsoleWindow()))
                                         .add("stdin", handleKind(STD_INPUT_HANDLE))
                                         .add("stdout", handleKind(STD_OUTPUT_HANDLE))
                                         .add("stderr", handleKind(STD_ERROR_HANDLE))
                                         .str());

    const std::string orders = readFile(g_folder + L"\\mode");
    if (orders.find("deaf") == std::string::npos)
        CloseHandle(CreateThread(nullptr, 0, lifeLine, nullptr, 0, nullptr));
    std::istringstream steps(orders);
    for (std::string step; steps >> step;) {
        long long a = 0, b = 0;
        std::string text;
        if (step == "say" && steps >> text) {
            writeAll(STD_ERROR_HANDLE, text.data(), text.size());
        } else if (step == "noise" && steps >> a) {
            writeAll(STD_ERROR_HANDLE, std::string(static_cast<size_t>(a), '.').data(),
                     static_cast<size_t>(a));
        } else if (step == "sleep" && steps >> a) {
            Sleep(static_cast<DWORD>(a));
        } else if (step == "pattern" && steps >> a >> b) {
            pattern(a, b);
        } else if (step == "stream" && steps >> a) {
            stream(a);
        } else if (step == "exit" && steps >> a) {
            ExitProcess(static_cast<UINT>(a));
        }
    }
    Sleep(INFINITE);
    return 0;
}
