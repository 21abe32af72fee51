#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <memory>
#include <string>

#include "diag/diag.h"

void startCrashReport(const std::wstring& folder, LogSource source);

namespace {

// Local, not roaming: a log belongs to the machine it was written on.
std::wstring logsFolder() {
    wchar_t local[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local) != S_OK) return {};
    return std::wstring(local) + L"\\Tolvin\\logs";
}

// Each append opens the file and closes it again, shared with readers and with
// a rename: a user may open the log while the program runs.
class FolderFiles : public LogFiles {
  public:
    explicit FolderFiles(std::wstring folder) : folder(std::move(folder) + L"\\") {}

    uint64_t size(const std::wstring& name) override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW((folder + name).c_str(), GetFileExInfoStandard, &data)) return 0;
        return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    }

    bool append(const std::wstring& name, std::string_view bytes) override {
        HANDLE file = CreateFileW((folder + name).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        const BOOL wrote =
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        return wrote && written == bytes.size();
    }

    void replace(const std::wstring& from, const std::wstring& to) override {
        MoveFileExW((folder + from).c_str(), (folder + to).c_str(), MOVEFILE_REPLACE_EXISTING);
    }

  private:
    std::wstring folder;
};

} // namespace

void startDiagnostics(std::wstring_view stem, LogSource source) {
    const std::wstring folder = logsFolder();
    if (folder.empty()) return;
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    startLog(std::make_unique<FolderFiles>(folder), stem, GetCurrentProcessId());
    startCrashReport(folder, source);
}

// GetVersionExW answers 6.2 to a program without a manifest; ntdll tells the truth.
std::wstring windowsVersion() {
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto getVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!getVersion || getVersion(&info) != 0) return L"Windows (version unknown)";
    char text[64];
    std::snprintf(text, sizeof(text), "Windows %lu.%lu build %lu", info.dwMajorVersion,
                  info.dwMinorVersion, info.dwBuildNumber);
    return excerpt(text, sizeof(text));
}

// The security directory of the image's headers names the Authenticode
// certificate table; an unsigned file has none.
bool programIsSigned() {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}
