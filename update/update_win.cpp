#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/detached_thread.h"
#include "common/handle_win.h"
#include "diag/diag.h"
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

// What a check's log line keeps of PowerShell's error text.
constexpr size_t ERROR_TEXT_LIMIT = 4096;

// Reads a pipe to its end, keeping its first `limit` bytes.
void readPipe(HANDLE pipe, std::string& kept, size_t limit) {
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        kept.append(buffer, std::min<size_t>(got, limit - kept.size()));
}

// Runs PowerShell with NUL as standard input, a pipe as standard output and
// another as standard error, handing it those three handles and no other;
// answers its exit code (none when it did not start), and collects what it
// printed. Both pipes are read at once: PowerShell stops when one it writes is
// full, and a check that never ends keeps every later one from starting.
std::optional<DWORD> runCheck(std::wstring commandLine, std::string& output, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    OwnedHandle nul;
    nul.assign(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr));
    Pipe pipe, errorPipe;
    if (!nul || !pipe.create(0) || !errorPipe.create(0)) return std::nullopt;
    SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errorPipe.read.get(), HANDLE_FLAG_INHERIT, 0);

    PROCESS_INFORMATION process{};
    const bool started = startHidden(std::move(commandLine), nul.get(), pipe.write.get(),
                                     errorPipe.write.get(), process);
    // Our copies of the write ends would keep the pipes open after PowerShell ends.
    pipe.write.reset();
    errorPipe.write.reset();
    if (!started) return std::nullopt;
    std::thread errorReader;
    try {
        errorReader =
            std::thread(readPipe, errorPipe.read.get(), std::ref(error), ERROR_TEXT_LIMIT);
    } catch (const std::system_error&) {
        // Unread, the pipe would stop PowerShell; closed, its writes just fail.
        errorPipe.read.reset();
    }
    readPipe(pipe.read.get(), output, output.max_size());
    if (errorReader.joinable()) errorReader.join();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// A release the script reports ready is verified here, before the result is
// handed over: chain and revocation checks may take seconds.
void checkRunner(std::wstring commandLine, std::wstring stage, std::wstring program, HWND window) {
    auto* output = new std::string;
    std::string error;
    const std::optional<DWORD> code = runCheck(std::move(commandLine), *output, error);
    const UpdateOutput result = readUpdateOutput(*output);
    logEvent(
        code == 0u ? LogLevel::Info : LogLevel::Warn, LogSource::Update,
        (code ? L"check: " + exitText(*code) : std::wstring(L"check: PowerShell did not start")) +
            L", result \"" + excerpt(result.word, 64) + L'"' +
            (result.version.empty() ? L"" : L" " + excerpt(result.version, 64)) +
            (error.empty() ? L"" : L", error text: " + excerpt(error, ERROR_TEXT_LIMIT)));
    WPARAM posted = code == 0u ? 1 : 0;
    const std::string offered = posted == 1 ? readyVersion(*output) : std::string();
    if (!offered.empty()) {
        const ReleaseVerdict verdict = verifyStagedRelease(stage, program, offered);
        if (verdict != ReleaseVerdict::Accepted) {
            removeStagedRelease(stage);
            posted = UPDATE_REFUSED;
            logEvent(LogLevel::Error, LogSource::Update,
                     L"release " + excerpt(offered, 64) + L" refused: " + verdictText(verdict));
        }
    }
    if (!postRecord(window, WM_UPDATE_RESULT, posted, output)) delete output;
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
    logEvent(LogLevel::Info, LogSource::Update, L"installing version " + g_shell.update.detail);
    DestroyWindow(g_shell.mainWindow);
}
