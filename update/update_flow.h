#pragma once

#include <string>
#include <string_view>

// What the shell makes of an update check: the script's output read into a
// result, the update state it leads to, the script that tells the page, and
// whether a ready update installs without being asked. Output is handled as
// bytes; state and version are UTF-16 for the page.

// The update state the page sees: "idle", "ready", "manual" or "error", and the
// version offered by the last "ready" or "manual" result (empty before one).
struct UpdateState {
    std::wstring status = L"idle";
    std::wstring detail;
    bool operator==(const UpdateState&) const = default;
};

// The script's answer: the two first words of the last line that is not empty
// once trailing spaces and carriage returns are gone. A version with any
// character other than digits and dots is empty.
struct UpdateOutput {
    std::string word;
    std::string version;
};
UpdateOutput readUpdateOutput(std::string_view output);

// The version that output reports ready ("ready <version>"), or empty: the
// release the check runner verifies before it hands the result over.
std::string readyVersion(std::string_view output);

// The state after a check. `ranOk` is true when the script ran and ended with
// exit code 0; only then is its output looked at.
UpdateState nextUpdateState(const UpdateState& before, bool ranOk, std::string_view output);

// The state after the script reported a release ready that failed its check
// (update_trust.h): "error" whatever it was, the detail kept.
UpdateState refusedUpdateState(const UpdateState& before);

// if (window.__tolvinUpdate) window.__tolvinUpdate({"status":"…"[,"version":"…"]});
std::wstring updatePushScript(const UpdateState& state);

// A ready update installs by itself only outside a call and only for a result
// that arrives within this many milliseconds of start-up.
inline constexpr unsigned long long AUTO_INSTALL_WINDOW_MS = 59999;
bool installsAutomatically(const UpdateState& state, bool inCall, unsigned long long msSinceStart);
