// Decisions of the session scan: which process trees to capture, and how the
// capture table must change to match. The platform work lives in scan_win.cpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/options.h"

// Parent ids and lower-cased executable names as one process snapshot reports them.
struct ProcessTable {
    std::map<uint32_t, uint32_t> parent;
    std::map<uint32_t, std::wstring> name;

    void clear();
    // A later entry with the same id overwrites an earlier one.
    void add(uint32_t pid, uint32_t parentPid, const std::wstring& exeName);
};

// True when walking up the parent chain from `from` meets `sought`. At most 64 ids
// are compared (from itself and 63 ancestors); a self-parent or an unknown id ends
// the walk, and so does reaching id 0.
bool walkFinds(const ProcessTable& table, uint32_t from, uint32_t sought);

// Lower-cases A to Z only, as the snapshot's names are compared.
std::wstring lowerAscii(std::wstring text);

// True when a lower-cased executable name starts with one of the audio tools'
// prefixes; such tools re-play other programs' sound and would be heard twice.
bool isExcludedToolName(const std::wstring& lowerName);

// Audio session states as the platform numbers them.
enum SessionState : int { SESSION_INACTIVE = 0, SESSION_ACTIVE = 1, SESSION_EXPIRED = 2 };

// Result codes of the session queries, as the platform numbers them; plain
// numbers here so that the decisions below need no platform header.
inline constexpr int32_t HR_S_OK = 0;
inline constexpr int32_t HR_S_FALSE = 1;
// GetProcessId's answer for a session that several processes share: a success
// that still names one of them.
inline constexpr int32_t HR_AUDCLNT_S_NO_SINGLE_PROCESS = 0x0889000D;

// Whether one session may be a source, given the state read from it (the scan
// presets SESSION_EXPIRED, so a state that cannot be read counts as expired) and
// what IsSystemSoundsSession returned. Only S_OK marks the system-sounds
// session; S_FALSE and failures are ordinary sessions. Inactive sessions count:
// a paused player is still a source.
bool sessionCounts(int state, int32_t systemSoundsResult);

// The process id a counted session contributes, given what GetProcessId returned
// and the id it wrote: none when the call failed or the id is 0 (no process).
// Every success code counts, AUDCLNT_S_NO_SINGLE_PROCESS included.
std::optional<uint32_t> sessionPid(int32_t processIdResult, uint32_t pid);

// The process ids to capture. sessionPids is used in all-except mode only. In
// window mode the target pid is never 0: the helper ends with the usage text
// before any scan when the window yields no process.
std::set<uint32_t> wantedPids(const HelperOptions& options, const ProcessTable& table,
                              const std::set<uint32_t>& sessionPids, uint32_t selfPid);

struct CaptureChanges {
    std::vector<uint32_t> stop;  // ascending
    std::vector<uint32_t> start; // ascending
};

// running: the ids in the capture table, ascending; failed: those of them whose
// stream failed for good, which are stopped and, while still wanted, started anew.
CaptureChanges reconcileCaptures(const std::vector<uint32_t>& running,
                                 const std::set<uint32_t>& failed,
                                 const std::set<uint32_t>& wanted);
