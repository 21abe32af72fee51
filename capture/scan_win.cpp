#include <windows.h>

#include "capture/helper_win.h"
#include "capture/platform_win.h"

namespace {

constexpr DWORD RESCAN_PERIOD_MS = 2000;

} // namespace

void scanSessions(ScanContext& context) {
    context.processes.clear();
    std::vector<ProcessEntry> entries;
    if (snapshotProcesses(entries)) {
        for (const ProcessEntry& entry : entries) {
            context.processes.add(entry.pid, entry.parentPid, entry.exeName);
        }
    }

    // Window mode captures one fixed tree and needs no session list.
    std::set<uint32_t> sessionPids;
    if (context.options.allExcept) {
        collectSessionPids(sessionPids);
    }
    const std::set<uint32_t> wanted =
        wantedPids(context.options, context.processes, sessionPids, GetCurrentProcessId());

    // Held across the stops and starts so the output loop never mixes a capture
    // that is being torn down; it catches up on the blocks it owes afterwards.
    AcquireSRWLockExclusive(&context.tableLock);
    std::vector<uint32_t> running;
    for (const auto& entry : context.captures) {
        running.push_back(entry.first);
    }
    const CaptureChanges changes = reconcileCaptures(running, wanted);
    for (uint32_t pid : changes.stop) {
        auto node = context.captures.extract(pid);
        stopCapture(*node.mapped());
    }
    for (uint32_t pid : changes.start) {
        if (auto capture = startCapture(pid)) {
            context.captures.emplace(pid, std::move(capture));
        }
    }
    ReleaseSRWLockExclusive(&context.tableLock);
}

void rescanForever(ScanContext& context) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        Sleep(RESCAN_PERIOD_MS);
        scanSessions(context);
    }
}
