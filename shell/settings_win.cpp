#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>

#include "common/handle_win.h"
#include "shell/deployment.h"
#include "desktop/desktop_win.h"
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

std::string wideToUtf8(const std::wstring& wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length,
                        nullptr, nullptr);
    return utf8;
}

// A file of the settings folder, or none when the roaming folder cannot be
// resolved.
std::optional<std::wstring> settingsFolderFile(const wchar_t* name) {
    wchar_t roaming[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, roaming) != S_OK) return std::nullopt;
    std::wstring folder = std::wstring(roaming) + L"\\Tolvin";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}

// Reading falls back on the bare name, in the current folder; nothing is ever
// written there.
std::wstring settingsFile(const wchar_t* name) {
    return settingsFolderFile(name).value_or(name);
}

// The file's bytes; empty when there is no file, none when it cannot be read.
std::optional<std::string> readFileBytes(const std::wstring& path) {
    OwnedHandle file;
    file.assign(CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return std::string();
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return bytes;
}

// The new bytes go to a file beside the old one, reach the disk, and then take
// its place in one step: a crash leaves the old file or the new one, never half.
bool replaceFile(const std::wstring& path, const std::string& bytes) {
    const std::wstring temporary = path + L".new";
    OwnedHandle file;
    file.assign(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const bool complete =
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size() && FlushFileBuffers(file.get());
    file.reset();
    if (complete && MoveFileExW(temporary.c_str(), path.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}

} // namespace

void loadSettings() {
    std::call_once(g_shell.settingsLoaded, [] {
        g_shell.serverUrl = DEFAULT_SERVER_URL;
        // Text mode: a carriage return before a line feed is dropped.
        std::ifstream in{std::filesystem::path(settingsFile(L"config.json"))};
        if (!in) return;
        if (auto url = readServerUrl(in, utf8ToWide)) g_shell.serverUrl = std::move(*url);
    });
}

bool saveServerUrl(const std::wstring& url) {
    const auto path = settingsFolderFile(L"config.json");
    if (!path) return false;
    const auto config = readFileBytes(*path);
    return config && replaceFile(*path, withServerUrl(*config, wideToUtf8(url)));
}

std::optional<WindowPlace> loadWindowPlace() {
    const auto text = readFileBytes(settingsFile(L"window.txt"));
    return text ? readPlace(*text) : std::nullopt;
}

void saveWindowPlace(const WindowPlace& place) {
    if (const auto path = settingsFolderFile(L"window.txt")) replaceFile(*path, placeText(place));
}
