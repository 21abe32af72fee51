// Decisions of the session scan: which process trees to capture, and how the
// capture table must change to match. The platform work lives in scan_win.cpp.
#pragma once

#include <cstdint>
#include <map>
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

// Inactive sessions are kept: a paused player is still a source.
bool sessionIsSource(int state, bool isSystemSounds);

// The process ids to capture. sessionPids is used in all-except mode only.
std::set<uint32_t> wantedPids(const HelperOptions& options, const ProcessTable& table,
                              const std::set<uint32_t>& sessionPids, uint32_t selfPid);

struct CaptureChanges {
    std::vector<uint32_t> stop;  // ascending
    std::vector<uint32_t> start; // ascending
};

// running: the ids in the capture table, ascending.
CaptureChanges reconcileCaptures(const std::vector<uint32_t>& running,
                                 const std::set<uint32_t>& wanted);
