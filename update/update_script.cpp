#include "update/update_script.h"

#include "UPDATE_SCRIPT.h"
#include "tolvin_version.h"

std::string updateScriptBytes() {
    std::string bytes;
    for (const wchar_t* c = UPDATE_SCRIPT; *c; ++c) bytes += static_cast<char>(*c);
    return bytes;
}

std::wstring stageFolderIn(std::wstring_view localAppData) {
    if (localAppData.empty()) return {};
    return std::wstring(localAppData) + L"\\Tolvin\\update";
}

std::wstring scriptFileIn(std::wstring_view stageFolder) {
    return std::wstring(stageFolder) + L"\\native-update.ps1";
}

std::wstring powerShellIn(std::wstring_view systemFolder) {
    return std::wstring(systemFolder) + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
}

std::wstring powerShellCommandLine(std::wstring_view powerShell, std::wstring_view scriptFile,
                                   std::wstring_view arguments) {
    std::wstring line = L"\"";
    line += powerShell;
    line += L"\" -NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle Hidden -File \"";
    line += scriptFile;
    line += L"\" ";
    line += arguments;
    return line;
}

std::wstring checkArguments(std::wstring_view appFolder, std::wstring_view stageFolder) {
    std::wstring arguments = L"check " TOLVIN_VERSION_WTEXT L" \"";
    arguments += appFolder;
    arguments += L"\" \"";
    arguments += stageFolder;
    arguments += L'"';
    return arguments;
}

std::wstring installArguments(std::wstring_view appFolder, unsigned long processId,
                              std::wstring_view stageFolder) {
    std::wstring arguments = L"install \"";
    arguments += appFolder;
    arguments += L"\" ";
    arguments += std::to_wstring(processId);
    arguments += L" \"";
    arguments += stageFolder;
    arguments += L'"';
    return arguments;
}
