// A capture helper that misbehaves on request, copied beside Tolvin.exe as
// tolvin-app-audio.exe. The folder named by TOLVIN_FAKE_HELPER holds its orders
// in "mode", read at each start, and gets one JSON line per start appended to
// "runs": process id, command line, whether it has a console, and the file types
// of its standard handles (3: pipe). The orders are steps, run in order:
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

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/doubles/json_win.h"

namespace {

HANDLE openIn(const wchar_t* folder, const wchar_t* name, DWORD access, DWORD disposition) {
    return CreateFileW((std::wstring(folder) + L"\\" + name).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
}

void write(DWORD stream, const void* data, size_t size) {
    DWORD written = 0;
    // A reader that is gone ends the helper, as a short write ends the real one.
    if (!WriteFile(GetStdHandle(stream), data, static_cast<DWORD>(size), &written, nullptr))
        ExitProcess(0);
}

DWORD WINAPI lifeLine(void*) {
    char scratch[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), scratch, 256, &got, nullptr) && got > 0) {
    }
    ExitProcess(0);
}

// Paced on the performance counter like the real helper, against a fixed start.
void stream(long long seconds) {
    std::vector<uint32_t> block(960);
    const long long start = nowMicros();
    for (uint32_t n = 0; seconds == 0 || n < seconds * 100; ++n) {
        while (nowMicros() < start + n * 10000LL) Sleep(1);
        const uint32_t frame[2] = {n, static_cast<uint32_t>(nowMicros())};
        for (size_t i = 0; i < block.size(); i += 2) std::copy(frame, frame + 2, &block[i]);
        write(STD_OUTPUT_HANDLE, block.data(), block.size() * 4);
    }
}

} // namespace

int wmain() {
    wchar_t folder[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TOLVIN_FAKE_HELPER", folder, MAX_PATH);
    const std::string run =
        JsonObject()
            .add("pid", jsonNumber(GetCurrentProcessId()))
            .add("commandLine", jsonString(GetCommandLineW()))
            .add("console", jsonBool(GetConsoleWindow()))
            .add("stdio", jsonList({GetFileType(GetStdHandle(STD_INPUT_HANDLE)),
                                    GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)),
                                    GetFileType(GetStdHandle(STD_ERROR_HANDLE))}))
            .str() +
        "\n";
    DWORD done = 0;
    HANDLE runs = openIn(folder, L"runs", FILE_APPEND_DATA, OPEN_ALWAYS);
    WriteFile(runs, run.data(), static_cast<DWORD>(run.size()), &done, nullptr);
    CloseHandle(runs);

    char text[4096] = "";
    HANDLE mode = openIn(folder, L"mode", GENERIC_READ, OPEN_EXISTING);
    ReadFile(mode, text, sizeof(text) - 1, &done, nullptr);
    CloseHandle(mode);
    const std::string orders(text);
    if (orders.find("deaf") == std::string::npos)
        CloseHandle(CreateThread(nullptr, 0, lifeLine, nullptr, 0, nullptr));

    std::istringstream steps(orders);
    for (std::string step, word; steps >> step;) {
        long long a = 0, b = 0;
        if (step == "say" && steps >> word) {
            write(STD_ERROR_HANDLE, word.data(), word.size());
        } else if (step == "noise" && steps >> a) {
            write(STD_ERROR_HANDLE, std::string(static_cast<size_t>(a), '.').data(),
                  static_cast<size_t>(a));
        } else if (step == "sleep" && steps >> a) {
            Sleep(static_cast<DWORD>(a));
        } else if (step == "pattern" && steps >> a >> b) {
            std::vector<uint8_t> bytes(static_cast<size_t>(a));
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
            for (long long at = 0; at < a; at += b)
                write(STD_OUTPUT_HANDLE, &bytes[at], std::min(b, a - at));
        } else if (step == "stream" && steps >> a) {
            stream(a);
        } else if (step == "exit" && steps >> a) {
            ExitProcess(static_cast<UINT>(a));
        }
    }
    Sleep(INFINITE);
    return 0;
}
