#include <gtest/gtest.h>

#include <optional>

#include "capture/session_scan.h"

namespace {

constexpr uint32_t HELPER = 900;
constexpr uint32_t CALLER = 200;

// explorer(100) starts the caller (200, with a child 201 and grandchild 202), a
// game (300, with a child 301) and a few audio tools; 4 is the system.
ProcessTable world() {
    ProcessTable table;
    table.add(4, 0, L"System");
    table.add(100, 4, L"explorer.exe");
    table.add(CALLER, 100, L"Tolvin.exe");
    table.add(201, CALLER, L"msedgewebview2.exe");
    table.add(202, 201, L"msedgewebview2.exe");
    table.add(HELPER, CALLER, L"tolvin-app-audio.exe");
    table.add(300, 100, L"Game.exe");
    table.add(301, 300, L"GameHelper.exe");
    table.add(400, 100, L"SteelSeriesGG.exe");
    table.add(401, 100, L"mysonar.exe");
    table.add(402, 100, L"SONAR");
    table.add(403, 100, L"sona.exe");
    table.add(404, 100, L"");
    return table;
}

HelperOptions allExcept(uint32_t pid) {
    HelperOptions options;
    options.allExcept = true;
    options.otherPid = pid;
    return options;
}

struct WantedCase {
    const char* behaviour;
    std::set<uint32_t> sessions;
    std::set<uint32_t> wanted;
};

TEST(CaptureScan, AllExceptLeavesOutTheCallersTreeItsAncestorsAndTheHelper) {
    const WantedCase cases[] = {
        {"the helper itself", {HELPER}, {}},
        {"the excluded process", {CALLER}, {}},
        {"its descendants", {201, 202}, {}},
        {"its ancestors", {100, 4}, {}},
        {"an ordinary program", {300}, {300}},
        {"a child without its parent playing", {301}, {301}},
        {"parent and child give one capture of the parent", {300, 301}, {300}},
        {"a process the snapshot does not know", {777}, {777}},
        {"an empty name passes the tool test", {404}, {404}},
    };
    for (const WantedCase& c : cases) {
        EXPECT_EQ(wantedPids(allExcept(CALLER), world(), c.sessions, HELPER), c.wanted)
            << c.behaviour;
    }
}

TEST(CaptureScan, ToolPrefixesMatchAtTheStartOnlyInAnyCase) {
    const WantedCase cases[] = {
        {"steelseries in mixed case", {400}, {}},
        {"sonar after the first character", {401}, {401}},
        {"exactly sonar", {402}, {}},
        {"only four letters of sonar", {403}, {403}},
    };
    for (const WantedCase& c : cases) {
        EXPECT_EQ(wantedPids(allExcept(CALLER), world(), c.sessions, HELPER), c.wanted)
            << c.behaviour;
    }
    const wchar_t* tools[] = {L"SteelSeriesSonar.exe", L"Sonar.exe",         L"VoiceMeeterPro.exe",
                              L"VBAudioRouter.exe",    L"AudioRepeater.exe", L"NahimicSvc64.exe",
                              L"FxSound.exe",          L"SoundSwitch.exe",   L"EqualizerAPO.exe",
                              L"PeaceSetup.exe"};
    for (const wchar_t* tool : tools) {
        EXPECT_TRUE(isExcludedToolName(lowerAscii(tool))) << std::string(tool, tool + wcslen(tool));
    }
    EXPECT_FALSE(isExcludedToolName(L"peac"));
    EXPECT_FALSE(isExcludedToolName(L"xsteelseries.exe"));
}

TEST(CaptureScan, AllExceptWithoutExcludedPidKeepsOnlyTheTopMostOfATree) {
    // Nothing is excluded but the helper, so the caller's tree is a source like any other.
    EXPECT_EQ(wantedPids(allExcept(0), world(), {HELPER, CALLER, 202, 300}, HELPER),
              (std::set<uint32_t>{CALLER, 300}));
    EXPECT_EQ(wantedPids(allExcept(0), world(), {100, CALLER, 301}, HELPER),
              (std::set<uint32_t>{100}));
}

TEST(CaptureScan, WindowModeCapturesTheTargetUnlessItIsTheCallersOwn) {
    const struct {
        const char* behaviour;
        uint32_t target;
        uint32_t self;
        std::set<uint32_t> wanted;
    } cases[] = {
        {"an ordinary window", 300, CALLER, {300}},
        {"the caller's own window", CALLER, CALLER, {}},
        {"a window of the caller's descendant", 202, CALLER, {}},
        {"no caller given", CALLER, 0, {CALLER}},
        {"a process the snapshot does not know", 777, CALLER, {777}},
    };
    for (const auto& c : cases) {
        HelperOptions options;
        options.targetPid = c.target;
        options.otherPid = c.self;
        // Sessions do not matter in window mode.
        EXPECT_EQ(wantedPids(options, world(), {301, 400}, HELPER), c.wanted) << c.behaviour;
    }
}

TEST(CaptureScan, AncestorWalkIsBounded) {
    ProcessTable chain;
    for (uint32_t pid = 1; pid < 100; ++pid) {
        chain.add(pid, pid + 1, L"p.exe");
    }
    EXPECT_TRUE(walkFinds(chain, 1, 1));
    EXPECT_TRUE(walkFinds(chain, 1, 64)) << "the 64th id compared";
    EXPECT_FALSE(walkFinds(chain, 1, 65)) << "beyond 64 ids";
    EXPECT_TRUE(walkFinds(chain, 40, 100)) << "an ancestor without an entry is still compared";
    EXPECT_FALSE(walkFinds(chain, 5, 3)) << "walks up, never down";

    ProcessTable loops;
    loops.add(7, 7, L"self-parent.exe");
    loops.add(8, 9, L"a.exe");
    loops.add(9, 8, L"b.exe");
    loops.add(10, 0, L"orphan.exe");
    EXPECT_TRUE(walkFinds(loops, 7, 7));
    EXPECT_FALSE(walkFinds(loops, 7, 1));
    EXPECT_TRUE(walkFinds(loops, 8, 9));
    EXPECT_FALSE(walkFinds(loops, 8, 1)) << "a parent cycle ends after 64 ids";
    EXPECT_FALSE(walkFinds(loops, 10, 0)) << "reaching id 0 ends the walk";
    EXPECT_FALSE(walkFinds(ProcessTable{}, 5, 6)) << "no snapshot: ids compare directly";
}

constexpr int32_t E_FAIL_CODE = static_cast<int32_t>(0x80004005);
constexpr int32_t E_ACCESSDENIED_CODE = static_cast<int32_t>(0x80070005);
constexpr int32_t AUDCLNT_E_DEVICE_INVALIDATED_CODE = static_cast<int32_t>(0x88890004);

TEST(CaptureScan, OneSessionCountsUnlessSystemSoundsOrExpired) {
    const struct {
        const char* behaviour;
        int state;
        int32_t systemSoundsResult;
        bool counts;
    } cases[] = {
        {"an active ordinary session", SESSION_ACTIVE, HR_S_FALSE, true},
        {"an inactive (paused) session", SESSION_INACTIVE, HR_S_FALSE, true},
        {"an expired session", SESSION_EXPIRED, HR_S_FALSE, false},
        {"the system-sounds session", SESSION_ACTIVE, HR_S_OK, false},
        {"the system-sounds session while inactive", SESSION_INACTIVE, HR_S_OK, false},
        {"a failed system-sounds query is an ordinary session", SESSION_ACTIVE, E_FAIL_CODE, true},
        {"another success code is not the system-sounds session", SESSION_ACTIVE,
         HR_AUDCLNT_S_NO_SINGLE_PROCESS, true},
        {"an unreadable state keeps its expired preset", SESSION_EXPIRED, E_FAIL_CODE, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sessionCounts(c.state, c.systemSoundsResult), c.counts) << c.behaviour;
    }
}

TEST(CaptureScan, OneSessionGivesItsProcessIdWhenTheQuerySucceeds) {
    const struct {
        const char* behaviour;
        int32_t processIdResult;
        uint32_t pid;
        std::optional<uint32_t> source;
    } cases[] = {
        {"S_OK with an id", HR_S_OK, 300, 300},
        {"a session shared by several processes still names one", HR_AUDCLNT_S_NO_SINGLE_PROCESS,
         301, 301},
        {"S_FALSE is a success too", HR_S_FALSE, 302, 302},
        {"id 0 is no process", HR_S_OK, 0, std::nullopt},
        {"id 0 of a shared session", HR_AUDCLNT_S_NO_SINGLE_PROCESS, 0, std::nullopt},
        {"a failed query, whatever it wrote", E_FAIL_CODE, 303, std::nullopt},
        {"access denied", E_ACCESSDENIED_CODE, 304, std::nullopt},
        {"a device that went away", AUDCLNT_E_DEVICE_INVALIDATED_CODE, 305, std::nullopt},
        {"the largest id", HR_S_OK, 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sessionPid(c.processIdResult, c.pid), c.source) << c.behaviour;
    }
}

TEST(CaptureScan, ProcessTableLowerCasesAndLaterEntriesWin) {
    ProcessTable table;
    table.add(5, 1, L"OLD.EXE");
    table.add(5, 2, L"New\u00C4.Exe");
    EXPECT_EQ(table.parent.at(5), 2u);
    EXPECT_EQ(table.name.at(5), L"new\u00C4.exe") << "only A to Z are lowered";
    table.clear();
    EXPECT_TRUE(table.parent.empty() && table.name.empty());
}

TEST(CaptureScan, ReconciliationStopsUnwantedAndFailedAndStartsMissingAndFailed) {
    const struct {
        std::vector<uint32_t> running;
        std::set<uint32_t> failed;
        std::set<uint32_t> wanted;
        std::vector<uint32_t> stop;
        std::vector<uint32_t> start;
    } cases[] = {
        {{}, {}, {}, {}, {}},
        {{}, {}, {30, 10}, {}, {10, 30}},
        {{10, 20, 30}, {}, {}, {10, 20, 30}, {}},
        {{10, 20, 30}, {}, {20, 40, 5}, {10, 30}, {5, 40}},
        {{10, 20}, {}, {10, 20}, {}, {}},
        {{10, 20}, {20}, {10, 20}, {20}, {20}},
        {{10, 20}, {10}, {20, 30}, {10}, {30}},
        {{10, 20}, {10, 20}, {}, {10, 20}, {}},
    };
    for (const auto& c : cases) {
        const CaptureChanges changes = reconcileCaptures(c.running, c.failed, c.wanted);
        EXPECT_EQ(changes.stop, c.stop);
        EXPECT_EQ(changes.start, c.start);
    }
}

} // namespace
