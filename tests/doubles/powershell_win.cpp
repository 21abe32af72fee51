// A stand-in for Windows PowerShell, placed where the system's would be. Each
// start appends one JSON line to powershell-standin.log beside it: the command
// line, the standard handles and their kinds, every handle it inherited, and
// whether it has a console. Then it does what powershell-standin.plan beside it
// says: a first line "<exit code> <delay ms>", and the rest printed as it is.

#include <windows.h>

#include <string>

#include "tests/doubles/json_win.h"

namespace {

std::string kind(HANDLE handle) {
    switch (GetFileType(handle)) {
    case FILE_TYPE_CHAR:
        return jsonText("char");
    case FILE_TYPE_PIPE:
        return jsonText("pipe");
    case FILE_TYPE_DISK:
        return jsonText("disk");
    default:
        return jsonText("none");
    }
}

std::string kinds(HANDLE in, HANDLE out, HANDLE err) {
    std::string list = "[";
    list += kind(in);
    list += ',';
    list += kind(out);
    list += ',';
    list += kind(err);
    return list += ']';
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

std::string readFile(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void appendLine(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              0, nullptr);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
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
    appendLine(dir + L"powershell-standin.log",
               JsonObject()
                       .add("commandLine", jsonString(GetCommandLineW()))
                       .add("pid", jsonNumber(GetCurrentProcessId()))
                       .add("stdin", jsonHandle(in))
                       .add("stdout", jsonHandle(out))
                       .add("stderr", jsonHandle(err))
                       .add("kinds", kinds(in, out, err))
                       .add("inherited", inherited)
                       .add("console", jsonBool(GetConsoleWindow()))
                       .str() +
                   "\n");

    const std::string plan = readFile(dir + L"powershell-standin.plan");
    const size_t feed = plan.find('\n');
    int code = 1, delay = 0;
    sscanf(plan.c_str(), "%d %d", &code, &delay);
    if (feed != std::string::npos) {
        DWORD written = 0;
        WriteFile(out, plan.data() + feed + 1, static_cast<DWORD>(plan.size() - feed - 1), &written,
                  nullptr);
    }
    Sleep(static_cast<DWORD>(delay));
    return code;
}
