#include <windows.h>

#include <string>

#include "desktop/desktop_win.h"
#include "desktop/uninstall_entry.h"
#include "shell/shell_state_win.h"
#include "tolvin_version.h"

namespace {

constexpr wchar_t UNINSTALL_KEY[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tolvin";

std::wstring entryText(HKEY key, const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return {};
    return buffer;
}

} // namespace

void keepUninstallEntryVersion() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, UNINSTALL_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return; // not installed by the installer: a copied folder has no entry
    const std::wstring version = TOLVIN_VERSION_WTEXT;
    if (entryNeedsVersion(entryText(key, L"InstallLocation"), entryText(key, L"DisplayVersion"),
                          programFolder(), version)) {
        RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}
