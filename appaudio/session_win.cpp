#include "appaudio/app_audio_win.h"

#include <utility>

#include "appaudio/session.h"
#include "common/detached_thread.h"
#include "common/handle_win.h"
#include "diag/diag.h"
#include "shell/shell_state_win.h"

namespace {

constexpr DWORD OUTPUT_PIPE_SIZE = 65536;
constexpr DWORD START_TIMEOUT_MS = 4000;
constexpr DWORD STOP_GRACE_MS = 1000;

std::wstring ownHelperPath() {
    return helperPathIn(programFolder());
}

void reportStart(HWND window, std::shared_ptr<AppAudio> session, WPARAM ready) {
    if (!session->startReported.exchange(true))
        postSessionRecord(window, WM_APPAUDIO_STARTED, ready, std::move(session));
}

constexpr size_t ERROR_TAIL = 1024;

// The helper's end goes to the log with its exit code and the last line of its
// error stream, once it has ended (its error stream ends with it).
void logHelperEnd(int id, HANDLE process, std::string_view errorTail) {
    DWORD code = STILL_ACTIVE;
    const bool known = process != nullptr; // false when no handle could be made to watch it
    if (known) {
        WaitForSingleObject(process, STOP_GRACE_MS + START_TIMEOUT_MS);
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
    }
    logEvent(code == 0 ? LogLevel::Info : LogLevel::Warn, LogSource::AppAudio,
             L"share " + std::to_wstring(id) + L" ended: helper " +
                 (!known                 ? std::wstring(L"exit code unknown")
                  : code == STILL_ACTIVE ? std::wstring(L"still running")
                                         : exitText(code)) +
                 L", last error line \"" + excerpt(lastLine(errorTail), 256) + L'"');
}

// The helper's error stream: "ready" anywhere in it is the start; its end before
// that is a failed start.
void readStatus(HWND window, std::shared_ptr<AppAudio> session, HANDLE status, HANDLE process) {
    ReadinessScanner scanner;
    std::string tail;
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(status, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        if (scanner.add(std::string_view(buffer, got))) reportStart(window, session, 1);
        tail.append(buffer, got);
        if (tail.size() > ERROR_TAIL) tail.erase(0, tail.size() - ERROR_TAIL);
    }
    CloseHandle(status);
    const int id = session->id;
    reportStart(window, std::move(session), 0);
    logHelperEnd(id, process, tail);
}

// The page's own time-out of 6 s is longer than this one.
void watchStart(HWND window, std::shared_ptr<AppAudio> session) {
    Sleep(START_TIMEOUT_MS);
    reportStart(window, std::move(session), 0);
}

void waitForExit(std::shared_ptr<AppAudio> session) {
    if (WaitForSingleObject(session->process, STOP_GRACE_MS) != WAIT_OBJECT_0)
        TerminateProcess(session->process, 0);
    CloseHandle(session->process);
}

void closeLifeLine(AppAudio& session) {
    if (session.lifeLine) CloseHandle(session.lifeLine);
    session.lifeLine = nullptr;
}

void startWorkers(const std::shared_ptr<AppAudio>& session, HANDLE status, HANDLE output) {
    HWND window = g_shell.mainWindow;
    // The status reader's own handle on the helper, for its exit code.
    HANDLE watched = nullptr;
    DuplicateHandle(GetCurrentProcess(), session->process, GetCurrentProcess(), &watched,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
    const bool reading = startDetached(readStatus, window, session, status, watched);
    if (!reading) {
        CloseHandle(status);
        if (watched) CloseHandle(watched);
    }
    const bool relaying = reading && startDetached(watchStart, window, session) &&
                          startDetached(readPcm, window, session, output);
    if (relaying) return;
    CloseHandle(output);
    // A session short of a worker might never answer or never relay: the page
    // hears "false" now, unless a worker has answered already, and the helper goes.
    if (!session->startReported.exchange(true)) postToPage(startedMessage(session->id, false));
    stopAppAudio();
}

} // namespace

bool helperAvailable() {
    const std::wstring path = ownHelperPath();
    // Without the program's own folder there is nothing to look beside.
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void startAppAudio(int id, const std::wstring& windowId) {
    stopAppAudio();
    if (!helperAvailable()) return postToPage(startedMessage(id, false));

    Pipe input, output, error;
    if (!input.create(0) || !output.create(OUTPUT_PIPE_SIZE) || !error.create(0))
        return postToPage(startedMessage(id, false));
    SetHandleInformation(input.write.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output.read.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(error.read.get(), HANDLE_FLAG_INHERIT, 0);

    PROCESS_INFORMATION process{};
    const bool started =
        startHidden(helperCommandLine(ownHelperPath(), windowId, GetCurrentProcessId()),
                    input.read.get(), output.write.get(), error.write.get(), process);
    input.read.reset();
    output.write.reset();
    error.write.reset();
    if (!started) {
        logEvent(LogLevel::Warn, LogSource::AppAudio,
                 L"share " + std::to_wstring(id) + L": the helper did not start, error " +
                     std::to_wstring(GetLastError()));
        return postToPage(startedMessage(id, false));
    }

    CloseHandle(process.hThread);
    logEvent(LogLevel::Info, LogSource::AppAudio,
             L"share " + std::to_wstring(id) + L" started, helper " +
                 std::to_wstring(process.dwProcessId));
    auto session = std::make_shared<AppAudio>(process.hProcess, input.write.release(), id);
    g_shell.appAudio = session;
    startWorkers(session, error.read.release(), output.read.release());
}

void stopAppAudio() {
    const std::shared_ptr<AppAudio> session = std::exchange(g_shell.appAudio, nullptr);
    if (!session) return;
    closeLifeLine(*session);
    if (!startDetached(waitForExit, session)) {
        // Without a waiter the helper goes at once rather than, if it ignores its
        // life-line, never.
        TerminateProcess(session->process, 0);
        CloseHandle(session->process);
    }
}

void onAppAudioStarted(WPARAM wParam, LPARAM lParam) {
    const std::unique_ptr<SessionRecord> record(reinterpret_cast<SessionRecord*>(lParam));
    const bool current = isCurrentAppAudio(record->session);
    record->session->startAnnounced = wParam != 0 && current;
    postToPage(startedMessage(record->session->id, record->session->startAnnounced));
    if (wParam == 0 && current) stopAppAudio();
}

void onAppAudioEnded(LPARAM lParam) {
    const std::unique_ptr<SessionRecord> record(reinterpret_cast<SessionRecord*>(lParam));
    // A session that was stopped or replaced ends silently.
    if (!isCurrentAppAudio(record->session)) return;
    g_shell.appAudio = nullptr;
    AppAudio& session = *record->session;
    closeLifeLine(session);
    CloseHandle(session.process);
    session.process = nullptr;
    postToPage(ENDED_MESSAGE);
}

void postSessionRecord(HWND window, UINT message, WPARAM wParam,
                       std::shared_ptr<AppAudio> session) {
    auto* record = new SessionRecord{std::move(session)};
    while (!postRecord(window, message, wParam, record)) {
        if (!IsWindow(window)) {
            delete record;
            return;
        }
        Sleep(10);
    }
}

bool isCurrentAppAudio(const std::shared_ptr<AppAudio>& session) {
    return session == g_shell.appAudio;
}

void postToPage(const std::wstring& text) {
    if (g_shell.webView) g_shell.webView->PostWebMessageAsJson(text.c_str());
}
