#include <windows.h>

#include <algorithm>

#include "capture/helper_win.h"
#include "capture/platform_win.h"

namespace {

constexpr uint64_t RESCAN_PERIOD_MS = 2000;

int64_t millisNow() {
    return static_cast<int64_t>(GetTickCount64());
}

// Starts the captures of every activation that has completed, each outside the
// table lock, which is taken only to add the running capture.
void takeCompletedActivations(ScanContext& context) {
    for (auto entry = context.activations.begin(); entry != context.activations.end();) {
        if (WaitForSingleObject(entry->second->completionEvent(), 0) != WAIT_OBJECT_0) {
            ++entry;
            continue;
        }
        const uint32_t pid = entry->first;
        HRESULT result = S_OK;
        IAudioClient* client = entry->second->finish(&result);
        entry = context.activations.erase(entry);
        context.schedule.finished(pid);
        if (client == nullptr) {
            continue;
        }
        if (auto capture = startCapture(pid, client)) {
            context.restarts.started(pid, millisNow());
            AcquireSRWLockExclusive(&context.tableLock);
            context.captures.emplace(pid, std::move(capture));
            ReleaseSRWLockExclusive(&context.tableLock);
        }
    }
}

} // namespace

void scanSessions(ScanContext& context) {
    takeCompletedActivations(context);

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

    // Captures leave the table under the lock and are stopped after it, so the
    // output loop never waits for a capture thread to end. A capture whose stream
    // failed is stopped here and activated anew below, once its pause after the
    // failure has passed, on the activations' schedule.
    std::vector<std::unique_ptr<ProcessCapture>> stopped;
    AcquireSRWLockExclusive(&context.tableLock);
    std::vector<uint32_t> running;
    std::set<uint32_t> failed;
    for (const auto& entry : context.captures) {
        running.push_back(entry.first);
        if (entry.second->failed.load()) {
            failed.insert(entry.first);
        }
    }
    const CaptureChanges changes = reconcileCaptures(running, failed, wanted);
    const int64_t now = millisNow();
    for (uint32_t pid : failed) {
        context.restarts.failed(pid, now);
    }
    context.restarts.keepOnly(wanted);
    for (uint32_t pid : changes.stop) {
        stopped.push_back(std::move(context.captures.extract(pid).mapped()));
    }
    ReleaseSRWLockExclusive(&context.tableLock);
    for (auto& capture : stopped) {
        stopCapture(*capture);
    }

    for (auto entry = context.activations.begin(); entry != context.activations.end();) {
        if (wanted.count(entry->first) == 0) {
            context.schedule.finished(entry->first);
            entry = context.activations.erase(entry);
        } else {
            ++entry;
        }
    }
    for (uint32_t pid : changes.start) {
        if (!context.restarts.mayStart(pid, now) ||
            context.schedule.next(pid, now) == ActivationSchedule::Step::WAIT) {
            continue;
        }
        auto activation = std::make_unique<PendingActivation>(pid);
        if (FAILED(activation->started())) {
            // No completion will come; the next scan tries again.
            context.schedule.finished(pid);
            context.activations.erase(pid);
        } else {
            context.activations[pid] = std::move(activation);
        }
    }
}

void awaitActivations(ScanContext& context, uint64_t deadline, bool untilNoneLeft) {
    for (;;) {
        takeCompletedActivations(context);
        const uint64_t now = GetTickCount64();
        if (now >= deadline || (untilNoneLeft && context.activations.empty())) {
            return;
        }
        std::vector<HANDLE> events;
        for (const auto& entry : context.activations) {
            events.push_back(entry.second->completionEvent());
        }
        const DWORD wait = static_cast<DWORD>(deadline - now);
        if (events.empty()) {
            Sleep(wait);
        } else {
            // More than the platform's 64 are looked at whenever one of these completes.
            WaitForMultipleObjects(
                static_cast<DWORD>(std::min<size_t>(events.size(), MAXIMUM_WAIT_OBJECTS)),
                events.data(), FALSE, wait);
        }
    }
}

void rescanForever(ScanContext& context) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        awaitActivations(context, GetTickCount64() + RESCAN_PERIOD_MS, false);
        scanSessions(context);
    }
}
