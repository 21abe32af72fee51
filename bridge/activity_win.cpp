#include <windows.h>
#include <tlhelp32.h>

#include "bridge/activity.h"
#include "bridge/bridge_win.h"

std::wstring scanActivity() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return activityResult(nullptr);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    // The snapshot's own order decides between several known programs.
    const wchar_t* found = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if ((found = matchActivity(entry.szExeFile))) break;
    }
    CloseHandle(snapshot);
    return activityResult(found);
}
