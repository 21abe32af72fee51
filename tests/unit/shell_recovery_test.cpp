#include <gtest/gtest.h>

#include "shell/recovery.h"

#include <vector>

namespace {

struct Step {
    int kind;
    uint64_t atMs;
    Recovery expected;
};

void expectSteps(const std::vector<Step>& steps) {
    BrowserRebuilds rebuilds;
    for (const auto& s : steps)
        EXPECT_EQ(rebuilds.onProcessFailed(s.kind, s.atMs), s.expected)
            << "kind " << s.kind << " at " << s.atMs << " ms";
}

TEST(ProcessFailure, RenderersReloadAndTheBrowserIsRebuiltThreeTimesAMinute) {
    constexpr int GPU_PROCESS_EXITED = 6;
    expectSteps({
        {RENDER_PROCESS_EXITED, 0, Recovery::Reload},
        {GPU_PROCESS_EXITED, 0, Recovery::Nothing},
        {BROWSER_PROCESS_EXITED, 1000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 2000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 60999, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 60999, Recovery::GiveUp},
        // The first rebuild is 60 s old: one more may go ahead, then none.
        {BROWSER_PROCESS_EXITED, 61000, Recovery::Rebuild},
        {BROWSER_PROCESS_EXITED, 61001, Recovery::GiveUp},
        {BROWSER_PROCESS_EXITED, 200000, Recovery::Rebuild},
    });
}

TEST(ProcessFailure, AHangingRendererIsReloadedAtTheThirdReportWithinTenSecondsOfTheLast) {
    constexpr int HANG = RENDER_PROCESS_UNRESPONSIVE;
    expectSteps({
        {HANG, 0, Recovery::Nothing},
        {HANG, 5000, Recovery::Nothing},
        // A quiet gap of more than 10 s starts the count again.
        {HANG, 16001, Recovery::Nothing},
        {HANG, 26001, Recovery::Nothing},
        {HANG, 36001, Recovery::Reload},
        {HANG, 37000, Recovery::Nothing},
        // A renderer that died is reloaded at once, and its hangs are forgotten.
        {RENDER_PROCESS_EXITED, 38000, Recovery::Reload},
        {HANG, 39000, Recovery::Nothing},
        {HANG, 40000, Recovery::Nothing},
        {HANG, 41000, Recovery::Reload},
    });
}

TEST(StartFailure, AFolderHeldByAnotherWebViewIsToldAtOnceNotRetried) {
    EXPECT_EQ(onStartFailed(DATA_FOLDER_IN_USE, 0), StartFailure::GiveUp);
    EXPECT_NE(startFailedText(DATA_FOLDER_IN_USE).find(L"Another program is using Tolvin's data"),
              std::wstring::npos);
    EXPECT_EQ(onStartFailed(0x80004005, 0), StartFailure::Retry);
}

TEST(ProcessFailure, TheLogNamesKindReasonExitCodeAndWhatWasDone) {
    EXPECT_EQ(
        processFailureLogText(RENDER_PROCESS_UNRESPONSIVE, ProcessExit{1, 0}, Recovery::Nothing),
        L"process failed: renderer unresponsive, reason unresponsive, exit code 0; nothing done");
    EXPECT_EQ(processFailureLogText(BROWSER_PROCESS_EXITED, ProcessExit{3, -1073741819},
                                    Recovery::GiveUp),
              L"process failed: browser process exited, reason crashed, exit code -1073741819; "
              L"gave up: the page stopped");
    EXPECT_EQ(processFailureLogText(7, ProcessExit{9, 1}, Recovery::Nothing),
              L"process failed: kind 7, reason 9, exit code 1; nothing done");
}

} // namespace
