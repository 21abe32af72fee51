// A small Windows program the integration tests run beside Tolvin to look at it
// from outside, as another application would. Each command prints one JSON line.
//
//   probe windows <class>            top-level windows of that class, or of all (*)
//   probe children <class>           child windows of the top-level windows of a class
//   probe dialogs <pid>              dialog boxes of a process, with their texts
//   probe click <dialog> <id>        presses a dialog's button
//   probe post <hwnd> <msg> <wparam> <lparam>   posts a message to a window
//   probe start <show> <exe>         starts a program with that show command
//   probe hotkey                     whether Ctrl+Shift+M can be registered here
//   probe focus <seconds>            a focused window of our own; prints its keys
//   probe sleep <seconds>            just runs that long (copies of it play other programs)
//   probe handles <pid>              a process's handle count and working set

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/doubles/json_win.h"

namespace {

void print(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

JsonObject describe(HWND w) {
    RECT rect{};
    GetWindowRect(w, &rect);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return JsonObject()
        .add("hwnd", jsonHandle(w))
        .add("pid", jsonNumber(pid))
        .add("className", windowClass(w))
        .add("title", windowText(w))
        .add("style", jsonNumber(static_cast<DWORD>(GetWindowLongW(w, GWL_STYLE))))
        .add("exStyle", jsonNumber(static_cast<DWORD>(GetWindowLongW(w, GWL_EXSTYLE))))
        .add("visible", jsonBool(IsWindowVisible(w)))
        .add("minimised", jsonBool(IsIconic(w)))
        .add("maximised", jsonBool(IsZoomed(w)))
        .add("rect", jsonRect(rect))
        .add("owner", jsonHandle(GetWindow(w, GW_OWNER)));
}

void appendItem(std::string& list, const std::string& item) {
    list += list.empty() ? "[" : ",";
    list += item;
}

BOOL CALLBACK collectControl(HWND w, LPARAM lParam) {
    appendItem(*reinterpret_cast<std::string*>(lParam), JsonObject()
                                                            .add("className", windowClass(w))
                                                            .add("id", jsonNumber(GetDlgCtrlID(w)))
                                                            .add("text", windowText(w))
                                                            .str());
    return TRUE;
}

// Top-level windows of a class ("*" for any), of one process when pid is not 0.
int listWindows(const wchar_t* className, DWORD pid, bool withControls) {
    if (std::wstring(className) == L"*") className = nullptr;
    std::string list;
    for (HWND w = FindWindowExW(nullptr, nullptr, className, nullptr); w;
         w = FindWindowExW(nullptr, w, className, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (pid && owner != pid) continue;
        JsonObject item = describe(w);
        if (withControls) {
            std::string controls;
            EnumChildWindows(w, collectControl, reinterpret_cast<LPARAM>(&controls));
            item.add("controls", controls.empty() ? "[]" : controls + "]");
        }
        appendItem(list, item.str());
    }
    print(list.empty() ? "[]" : list + "]");
    return 0;
}

// The child windows of every top-level window of a class.
int listChildren(const wchar_t* className) {
    std::string controls;
    for (HWND w = FindWindowExW(nullptr, nullptr, className, nullptr); w;
         w = FindWindowExW(nullptr, w, className, nullptr)) {
        EnumChildWindows(w, collectControl, reinterpret_cast<LPARAM>(&controls));
    }
    print(controls.empty() ? "[]" : controls + "]");
    return 0;
}

HWND handleArgument(const wchar_t* text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::wcstoull(text, nullptr, 10)));
}

// As a shortcut set to "run minimised" would start it.
int startProgram(int show, const wchar_t* exe) {
    STARTUPINFOW info{};
    info.cb = sizeof(info);
    // No standard handles: the program must not hold our output open after we end.
    info.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    info.wShowWindow = static_cast<WORD>(show);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = std::wstring(L"\"") + exe + L"\"";
    const BOOL started = CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &info, &process);
    print(JsonObject()
              .add("started", jsonBool(started))
              .add("pid", jsonNumber(process.dwProcessId))
              .str());
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int tryHotKey() {
    const bool registered = RegisterHotKey(nullptr, 7, MOD_CONTROL | MOD_SHIFT, 'M');
    if (registered) UnregisterHotKey(nullptr, 7);
    print(JsonObject().add("registered", jsonBool(registered)).str());
    return 0;
}

LRESULT CALLBACK focusProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN || message == WM_KEYUP || message == WM_CHAR) {
        const char* kind = message == WM_KEYDOWN ? "down" : message == WM_KEYUP ? "up" : "char";
        print(JsonObject().add("key", jsonText(kind)).add("code", jsonNumber(wParam)).str());
        return 0;
    }
    if (message == WM_TIMER) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(w, message, wParam, lParam);
}

int holdFocus(int seconds) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = focusProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TolvinProbeFocus";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"Probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10,
                             10, 300, 200, nullptr, nullptr, wc.hInstance, nullptr);
    SetForegroundWindow(w);
    SetFocus(w);
    SetTimer(w, 1, static_cast<UINT>(seconds) * 1000, nullptr);
    print(JsonObject()
              .add("focused", jsonBool(GetForegroundWindow() == w))
              .add("hwnd", jsonHandle(w))
              .str());
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

// GetProcessHandleCount answers 0 under Wine; the system's handle table, which
// names each handle's owner, is counted instead.
struct HandleEntry {
    void* object;
    ULONG_PTR pid;
    ULONG_PTR value;
    ULONG access;
    USHORT backTrace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
using QuerySystemFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
constexpr ULONG EXTENDED_HANDLE_INFORMATION = 64;
constexpr LONG LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);

int countHandles(DWORD pid) {
    const auto query = reinterpret_cast<QuerySystemFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::string buffer(1 << 16, '\0');
    LONG status;
    ULONG needed = 0;
    while ((status = query(EXTENDED_HANDLE_INFORMATION, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) == LENGTH_MISMATCH) {
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    long long handles = 0;
    for (ULONG_PTR i = 0; status >= 0 && i < table->count; ++i) {
        if (table->entries[i].pid == pid) ++handles;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    GetProcessMemoryInfo(process, &memory, sizeof(memory));
    CloseHandle(process);
    print(JsonObject()
              .add("handles", status >= 0 ? jsonNumber(handles) : "null")
              .add("workingSet", jsonNumber(static_cast<long long>(memory.WorkingSetSize)))
              .str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"windows" && argc > 2) return listWindows(argv[2], 0, false);
    if (command == L"dialogs" && argc > 2) {
        return listWindows(L"#32770", static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)), true);
    }
    if (command == L"click" && argc > 3) {
        HWND dialog =
            reinterpret_cast<HWND>(static_cast<uintptr_t>(std::wcstoull(argv[2], nullptr, 10)));
        SendMessageW(GetDlgItem(dialog, std::wcstol(argv[3], nullptr, 10)), BM_CLICK, 0, 0);
        print(JsonObject().add("clicked", jsonBool(true)).str());
        return 0;
    }
    if (command == L"post" && argc > 5) {
        const BOOL posted =
            PostMessageW(handleArgument(argv[2]), std::wcstoul(argv[3], nullptr, 10),
                         std::wcstoull(argv[4], nullptr, 10), std::wcstoll(argv[5], nullptr, 10));
        print(JsonObject().add("posted", jsonBool(posted)).str());
        return 0;
    }
    if (command == L"start" && argc > 3)
        return startProgram(std::wcstol(argv[2], nullptr, 10), argv[3]);
    if (command == L"children" && argc > 2) return listChildren(argv[2]);
    if (command == L"hotkey") return tryHotKey();
    if (command == L"handles" && argc > 2)
        return countHandles(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    if (command == L"focus" && argc > 2) return holdFocus(std::wcstol(argv[2], nullptr, 10));
    if (command == L"sleep" && argc > 2) {
        print(JsonObject().add("sleeping", jsonNumber(GetCurrentProcessId())).str());
        Sleep(static_cast<DWORD>(std::wcstol(argv[2], nullptr, 10)) * 1000);
        return 0;
    }
    std::fputs("usage: probe windows|dialogs|click|post|start|hotkey|focus|sleep|handles ...\n",
               stderr);
    return 2;
}
