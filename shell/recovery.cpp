#include "shell/recovery.h"

#include <cstdio>

Recovery BrowserRebuilds::onProcessFailed(int kind, uint64_t nowMs) {
    if (kind == RENDER_PROCESS_UNRESPONSIVE) {
        const bool inARow = hangReports > 0 && nowMs - lastHangMs <= UNRESPONSIVE_GAP_MS;
        hangReports = inARow ? hangReports + 1 : 1;
        lastHangMs = nowMs;
        if (hangReports < UNRESPONSIVE_REPORTS) return Recovery::Nothing;
    }
    if (kind == RENDER_PROCESS_EXITED || kind == RENDER_PROCESS_UNRESPONSIVE) {
        hangReports = 0; // the reloaded page starts afresh
        return Recovery::Reload;
    }
    if (kind != BROWSER_PROCESS_EXITED) return Recovery::Nothing;
    while (!recent.empty() && nowMs - recent.front() >= REBUILD_WINDOW_MS) recent.pop_front();
    if (recent.size() >= MAX_REBUILDS) return Recovery::GiveUp;
    recent.push_back(nowMs);
    return Recovery::Rebuild;
}

StartFailure onStartFailed(uint32_t result, int retriesSoFar) {
    if (result == NO_RUNTIME) return StartFailure::RuntimeMissing;
    if (result == DATA_FOLDER_IN_USE) return StartFailure::GiveUp;
    return retriesSoFar < MAX_START_RETRIES ? StartFailure::Retry : StartFailure::GiveUp;
}

std::wstring startFailedText(uint32_t result) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08x", static_cast<unsigned>(result));
    if (result == DATA_FOLDER_IN_USE)
        return L"Another program is using Tolvin's data folder, so Tolvin could not start its page "
               L"(error " +
               std::wstring(code) +
               L").\nClose that program, then quit Tolvin from the tray and "
               L"start it again.";
    return L"Tolvin could not start its page (error " + std::wstring(code) +
           L").\nQuit Tolvin from the tray and start it again.";
}

std::wstring startFailureLogText(uint32_t result, StartFailure next) {
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08x", static_cast<unsigned>(result));
    return L"start failed: " + std::wstring(code) +
           (next == StartFailure::RuntimeMissing ? L", no web view runtime"
            : next == StartFailure::Retry        ? L", trying again"
                                                 : L", giving up");
}

std::wstring processFailureLogText(int kind, std::optional<ProcessExit> exit, Recovery recovery) {
    static constexpr const wchar_t* KINDS[] = {L"browser process exited", L"renderer exited",
                                               L"renderer unresponsive"};
    static constexpr const wchar_t* REASONS[] = {L"unexpected", L"unresponsive",  L"terminated",
                                                 L"crashed",    L"launch failed", L"out of memory"};
    static constexpr const wchar_t* DONE[] = {L"nothing done", L"reloading the page",
                                              L"rebuilding the web view",
                                              L"gave up: the page stopped"};
    std::wstring text = L"process failed: ";
    text += kind >= 0 && kind < 3 ? KINDS[kind] : L"kind " + std::to_wstring(kind);
    if (exit) {
        text += L", reason ";
        text += exit->reason >= 0 && exit->reason < 6 ? REASONS[exit->reason]
                                                      : std::to_wstring(exit->reason);
        text += L", exit code " + std::to_wstring(exit->exitCode);
    }
    return text + L"; " + DONE[static_cast<int>(recovery)];
}
