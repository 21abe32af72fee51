#pragma once

// What the shell does when one of the web view's processes fails: a renderer
// that died is reloaded, and so is one that keeps hanging; a browser process
// that died takes the web view with it and is replaced by a new one, a few times
// at most, so that a browser that cannot stay up does not keep the machine busy
// restarting it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

enum class Recovery { Nothing, Reload, Rebuild, GiveUp };

inline constexpr int BROWSER_PROCESS_EXITED = 0;
inline constexpr int RENDER_PROCESS_EXITED = 1;
inline constexpr int RENDER_PROCESS_UNRESPONSIVE = 2;

inline constexpr std::size_t MAX_REBUILDS = 3;
inline constexpr uint64_t REBUILD_WINDOW_MS = 60000;

// The runtime reports a hanging renderer again every few seconds while it hangs;
// a busy machine raises one report now and then. A reload, which ends a call,
// waits for the third report in a row, each within this gap of the one before.
inline constexpr int UNRESPONSIVE_REPORTS = 3;
inline constexpr uint64_t UNRESPONSIVE_GAP_MS = 10000;

// Shown in the empty window once the browser is not rebuilt any more.
inline constexpr wchar_t GAVE_UP_TEXT[] =
    L"The page stopped working. Quit Tolvin from the tray and start it again.";

class BrowserRebuilds {
  public:
    // The answer to a failure of `kind` at `nowMs` (a monotonic clock); a rebuild
    // counts against the limit of MAX_REBUILDS within REBUILD_WINDOW_MS.
    Recovery onProcessFailed(int kind, uint64_t nowMs);

  private:
    std::deque<uint64_t> recent;
    int hangReports = 0;
    uint64_t lastHangMs = 0;
};

// What a failed start of the web view leads to: the environment request, or the
// creation of the environment or of the controller, answered `result`. Without
// a runtime the loader answers NO_RUNTIME, and the user is told to install one.
// DATA_FOLDER_IN_USE (a web view with other options holds the user-data folder)
// does not pass by itself, so the user is told at once. Anything else is tried
// again from a new environment a few times, and then the user is told the page
// could not be started.
enum class StartFailure { RuntimeMissing, Retry, GiveUp };

inline constexpr uint32_t NO_RUNTIME = 0x80070002; // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
inline constexpr uint32_t DATA_FOLDER_IN_USE =
    0x8007139F; // HRESULT_FROM_WIN32(ERROR_INVALID_STATE)
inline constexpr int MAX_START_RETRIES = 3;
inline constexpr unsigned START_RETRY_DELAY_MS = 1000;

StartFailure onStartFailed(uint32_t result, int retriesSoFar);

// The box text for a start that failed for good with `result`.
std::wstring startFailedText(uint32_t result);

// The log lines of a failed start (with what follows it) and of a failed
// process: its kind, the runtime's reason and exit code when it gives them, and
// what was done about it.
std::wstring startFailureLogText(uint32_t result, StartFailure next);
struct ProcessExit {
    int reason;
    int exitCode;
};
std::wstring processFailureLogText(int kind, std::optional<ProcessExit> exit, Recovery recovery);
