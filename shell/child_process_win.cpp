#include <windows.h>

#include <algorithm>
#include <vector>

#include "shell/shell_state_win.h"

bool startHidden(std::wstring commandLine, HANDLE input, HANDLE output, HANDLE error,
                 PROCESS_INFORMATION& process) {
    // The list names each handle once, though one may serve two streams.
    std::vector<HANDLE> inherited{input};
    for (HANDLE handle : {output, error})
        if (std::find(inherited.begin(), inherited.end(), handle) == inherited.end())
            inherited.push_back(handle);
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = error;
    startup.lpAttributeList = attributes;
    const bool started = UpdateProcThreadAttribute(
                             attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                             inherited.size() * sizeof(HANDLE), nullptr, nullptr) &&
                         CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup.StartupInfo, &process);
    DeleteProcThreadAttributeList(attributes);
    return started;
}
