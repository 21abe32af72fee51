#include "capture/session_scan.h"

#include "common/ascii.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr const wchar_t* EXCLUDED_PREFIXES[] = {
    L"steelseries", L"sonar",   L"voicemeeter", L"vbaudio",      L"audiorepeater",
    L"nahimic",     L"fxsound", L"soundswitch", L"equalizerapo", L"peace",
};

constexpr int WALK_MAX_STEPS = 63;

} // namespace

void ProcessTable::clear() {
    parent.clear();
    name.clear();
}

void ProcessTable::add(uint32_t pid, uint32_t parentPid, const std::wstring& exeName) {
    parent[pid] = parentPid;
    name[pid] = lowerAscii(exeName);
}

bool walkFinds(const ProcessTable& table, uint32_t from, uint32_t sought) {
    uint32_t v = from;
    for (int steps = 0;; ++steps) {
        if (v == sought) {
            return true;
        }
        const auto entry = table.parent.find(v);
        if (entry == table.parent.end()) {
            return false;
        }
        const uint32_t p = entry->second;
        if (p == v || steps == WALK_MAX_STEPS) {
            return false;
        }
        v = p;
        if (v == 0) {
            return false;
        }
    }
}

std::wstring lowerAscii(std::wstring text) {
    for (wchar_t& c : text) {
        c = lowerAscii(c);
    }
    return text;
}

bool isExcludedToolName(const std::wstring& lowerName) {
    return std::any_of(std::begin(EXCLUDED_PREFIXES), std::end(EXCLUDED_PREFIXES),
                       [&](const wchar_t* prefix) { return lowerName.starts_with(prefix); });
}

bool sessionCounts(int state, int32_t systemSoundsResult) {
    return systemSoundsResult != HR_S_OK && state != SESSION_EXPIRED;
}

std::optional<uint32_t> sessionPid(int32_t processIdResult, uint32_t pid) {
    if (processIdResult < 0 || pid == 0) {
        return std::nullopt;
    }
    return pid;
}

std::set<uint32_t> wantedPids(const HelperOptions& options, const ProcessTable& table,
                              const std::set<uint32_t>& sessionPids, uint32_t selfPid) {
    std::set<uint32_t> wanted;
    if (!options.allExcept) {
        // The caller's own window, or one of its children's, would capture the caller.
        const bool ownTree =
            options.otherPid != 0 && walkFinds(table, options.targetPid, options.otherPid);
        if (!ownTree) {
            wanted.insert(options.targetPid);
        }
        return wanted;
    }

    const uint32_t excluded = options.otherPid;
    std::set<uint32_t> candidates;
    for (uint32_t o : sessionPids) {
        if (o == selfPid) {
            continue;
        }
        if (o != 0 && walkFinds(table, o, excluded)) {
            continue;
        }
        if (excluded != 0 && walkFinds(table, excluded, o)) {
            continue;
        }
        const auto name = table.name.find(o);
        if (name != table.name.end() && !name->second.empty() && isExcludedToolName(name->second)) {
            continue;
        }
        candidates.insert(o);
    }

    // The include-tree capture of an ancestor already carries a descendant's sound.
    for (uint32_t p : candidates) {
        const bool underOther =
            p != 0 && std::any_of(candidates.begin(), candidates.end(),
                                  [&](uint32_t t) { return t != p && walkFinds(table, p, t); });
        if (!underOther) {
            wanted.insert(p);
        }
    }
    return wanted;
}

CaptureChanges reconcileCaptures(const std::vector<uint32_t>& running,
                                 const std::set<uint32_t>& failed,
                                 const std::set<uint32_t>& wanted) {
    CaptureChanges changes;
    std::set<uint32_t> kept;
    for (uint32_t pid : running) {
        if (failed.count(pid) == 0 && wanted.count(pid) != 0) {
            kept.insert(pid);
        } else {
            changes.stop.push_back(pid);
        }
    }
    for (uint32_t pid : wanted) {
        if (kept.count(pid) == 0) {
            changes.start.push_back(pid);
        }
    }
    return changes;
}
