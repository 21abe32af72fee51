// A stand-in for Windows PowerShell, placed where the system's would be. Each
// start appends one JSON line to powershell-standin.log beside it: the command
// line, the standard handles and their kinds, every handle it inherited, and
// whether it has a console. Then it does what powershell-standin.plan beside it
// says: a first line "<exit code> <delay ms> <error bytes>", then that many bytes
// written to standard error, and the rest printed to standard output.

#include <windows.h>

#include <algorithm>
#include <string>

#include "tests/doubles/json_win.h"

namespace {

std::string kinds(std::initializer_list<HANDLE> handles) {
    std::string list;
    for (HANDLE handle : handles) {
        const DWORD type = GetFileType(handle);
        list += list.empty() ? "[" : ",";
        list += jsonText(type == FILE_TYPE_CHAR   ? "char"
                         : type == FILE_TYPE_PIPE ? "pipe"
                                                  : "other");
    }
    return list + ']';
}

// Handles made by this process are not inheritable; the inherited ones keep
// the flag they were given in the parent.
std::string inheritedHandles() {
    std::string list = "[";
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
        if (!(flags & HANDLE_FLAG_INHERIT)) continue;
        if (list.size() > 1) list += ',';
        list += std::to_string(value);
    }
    return list + ']';
}

} // namespace

int wmain() {
    const std::string inherited = inheritedHandles();
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    while (length && self[length - 1] != L'\\') self[--length] = 0;
    const std::wstring dir = self;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE),
           err = GetStdHandle(STD_ERROR_HANDLE);
    const std::string record = JsonObject()
                                   .add("commandLine", jsonString(GetCommandLineW()))
                                   .add("stdin", jsonHandle(in))
                                   .add("stdout", jsonHandle(out))
                                   .add("stderr", jsonHandle(err))
                                   .add("kinds", kinds({in, out, err}))
                                   .add("inherited", inherited)
                                   .add("console", jsonBool(GetConsoleWindow()))
                                   .str() +
                               "\n";
    HANDLE log = CreateFileW((dir + L"powershell-standin.log").c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(log, record.data(), static_cast<DWORD>(record.size()), &done, nullptr);
    CloseHandle(log);

    char plan[65536] = "";
    HANDLE file = CreateFileW((dir + L"powershell-standin.plan").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ReadFile(file, plan, sizeof(plan) - 1, &done, nullptr);
    CloseHandle(file);
    int code = 1, delay = 0, error = 0;
    sscanf(plan, "%d %d %d", &code, &delay, &error);
    if (const char* feed = strchr(plan, '\n')) {
        const char* end = plan + done;
        const char* text = feed + 1 + std::min<ptrdiff_t>(error, end - feed - 1);
        WriteFile(err, feed + 1, static_cast<DWORD>(text - feed - 1), &done, nullptr);
        WriteFile(out, text, static_cast<DWORD>(end - text), &done, nullptr);
    }
    Sleep(static_cast<DWORD>(delay));
    return code;
}
