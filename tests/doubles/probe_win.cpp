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
#include <vector>

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
        .add("foreground", jsonBool(GetForegroundWindow() == w))
        .add("rect", jsonRect(rect))
        .add("owner", jsonHandle(GetWindow(w, GW_OWNER)));
}

void appendItem(std::string& list, const std::string& item) {
    list += list.empty() ? "[" : ",";
    list += item;
}

// An edit control of another process keeps its text to itself: it answers
// WM_GETTEXT, where GetWindowTextW reads only what the system holds.
BOOL CALLBACK collectControl(HWND w, LPARAM lParam) {
    wchar_t text[1024] = L"";
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000,
                        nullptr);
    appendItem(*reinterpret_cast<std::string*>(lParam), JsonObject()
                                                            .add("className", windowClass(w))
                                                            .add("id", jsonNumber(GetDlgCtrlID(w)))
                                                            .add("text", jsonString(text))
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

// GetProcessHandleCount answers 0 under Wine; the system's handle table (class
// 64, extended handle information) names each handle's owner and is counted instead.
struct HandleEntry {
    void* object;
    ULONG_PTR pid, value;
    ULONG access;
    USHORT backTrace, type;
    ULONG attributes, reserved;
};

int countHandles(DWORD pid) {
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<ULONG_PTR> table(1 << 14);
    ULONG needed = 0;
    // Grows the buffer while the answer is "length mismatch".
    while (query(64, table.data(), static_cast<ULONG>(table.size() * sizeof(ULONG_PTR)), &needed) ==
           static_cast<LONG>(0xC0000004)) {
        table.resize(table.size() * 2 + needed / sizeof(ULONG_PTR));
    }
    const auto* entries = reinterpret_cast<const HandleEntry*>(&table[2]);
    const auto handles = std::count_if(entries, entries + table[0],
                                       [pid](const HandleEntry& e) { return e.pid == pid; });
    PROCESS_MEMORY_COUNTERS memory{};
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    GetProcessMemoryInfo(process, &memory, sizeof(memory));
    CloseHandle(process);
    print(JsonObject()
              .add("handles", jsonNumber(handles))
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
