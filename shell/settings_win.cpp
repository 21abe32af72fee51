#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>

#include "shell/deployment.h"
#include "shell/settings.h"
#include "shell/shell_state_win.h"

namespace {

std::optional<std::wstring> utf8ToWide(std::string_view utf8) {
    const std::string terminated(utf8);
    const int length = MultiByteToWideChar(CP_UTF8, 0, terminated.c_str(), -1, nullptr, 0);
    if (length < 2) return std::nullopt;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, terminated.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

std::wstring settingsFilePath() {
    wchar_t roaming[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming) != S_OK) {
        return L"config.json";
    }
    std::wstring folder = std::wstring(roaming) + L"\\Tolvin";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\config.json";
}

} // namespace

void loadSettings() {
    std::call_once(g_shell.settingsLoaded, [] {
        g_shell.serverUrl = DEFAULT_SERVER_URL;
        // Text mode: a carriage return before a line feed is dropped.
        std::ifstream in{std::filesystem::path(settingsFilePath())};
        if (!in) return;
        if (auto url = readServerUrl(in, utf8ToWide)) g_shell.serverUrl = std::move(*url);
    });
}
