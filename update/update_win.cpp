#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>

#include "common/detached_thread.h"
#include "common/handle_win.h"
#include "shell/shell_state_win.h"
#include "update/update_flow.h"
#include "update/update_script.h"
#include "update/update_trust_win.h"
#include "update/update_win.h"

namespace {

std::wstring stageFolder() {
    wchar_t local[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local) != S_OK) return {};
    return stageFolderIn(local);
}

std::wstring powerShell() {
    wchar_t system[260];
    const UINT length = GetSystemDirectoryW(system, 260);
    return powerShellIn(std::wstring_view(system, length));
}

// Writes the script into the stage folder, made first if need be; rewritten
// before every run, so that the file is always the program's own text.
bool writeUpdateScript(const std::wstring& stage) {
    if (stage.empty()) return false;
    SHCreateDirectoryExW(nullptr, stage.c_str(), nullptr);
    HANDLE file = CreateFileW(scriptFileIn(stage).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string bytes = updateScriptBytes();
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return wrote && written == bytes.size();
}

// Runs PowerShell with NUL as standard input and error and a pipe as standard
// output, handing it those two handles and no other; answers whether it ended
// with exit code 0, and collects what it printed.
bool runCheck(std::wstring commandLine, std::string& output) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    OwnedHandle nul;
    nul.assign(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr));
    Pipe pipe;
    if (!nul || !pipe.create(0)) return false;
    SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0);

    PROCESS_INFORMATION process{};
    if (!startHidden(std::move(commandLine), nul.get(), pipe.write.get(), nul.get(), process))
        return false;

    // Our copy of the write end would keep the pipe open after PowerShell ends.
    pipe.write.reset();
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(pipe.read.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        output.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
}

// A release the script reports ready is verified here, before the result is
// handed over: chain and revocation checks may take seconds.
void checkRunner(std::wstring commandLine, std::wstring stage, std::wstring program, HWND window) {
    auto* output = new std::string;
    WPARAM result = runCheck(std::move(commandLine), *output) ? 1 : 0;
    const std::string offered = result == 1 ? readyVersion(*output) : std::string();
    if (!offered.empty() &&
        verifyStagedRelease(stage, program, offered) != ReleaseVerdict::Accepted) {
        removeStagedRelease(stage);
        result = UPDATE_REFUSED;
    }
    if (!postRecord(window, WM_UPDATE_RESULT, result, output)) delete output;
}

} // namespace

void updateCheckTick() {
    if (g_shell.updateCheckRunning || g_shell.update.status == L"ready") return;
    const std::wstring stage = stageFolder();
    if (!writeUpdateScript(stage)) return;
    // No thread, no result to wait for: the next tick tries again.
    g_shell.updateCheckRunning =
        startDetached(checkRunner,
                      powerShellCommandLine(powerShell(), scriptFileIn(stage),
                                            checkArguments(programFolder(), stage)),
                      stage, programPath(), g_shell.mainWindow);
}

void onUpdateResult(WPARAM ranOk, LPARAM output) {
    const std::unique_ptr<std::string> record(reinterpret_cast<std::string*>(output));
    g_shell.updateCheckRunning = false;
    g_shell.update = ranOk == UPDATE_REFUSED ? refusedUpdateState(g_shell.update)
                                             : nextUpdateState(g_shell.update, ranOk == 1, *record);
    pushUpdateState();
    if (installsAutomatically(g_shell.update, g_shell.inCall, GetTickCount64() - g_shell.startTick))
        installUpdate();
}

void pushUpdateState() {
    runPageScript(updatePushScript(g_shell.update).c_str());
}

void installUpdate() {
    if (g_shell.update.status != L"ready") return;
    const std::wstring stage = stageFolder();
    if (!writeUpdateScript(stage)) return;
    std::wstring commandLine =
        powerShellCommandLine(powerShell(), scriptFileIn(stage),
                              installArguments(programFolder(), GetCurrentProcessId(), stage));
    STARTUPINFOW info{};
    info.cb = sizeof(info);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &info, &process))
        return;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DestroyWindow(g_shell.mainWindow);
}
