#include "shell/paths.h"
#include "update/update_flow.h"
#include "update/update_script.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(UpdateOutput, TheLastLineThatIsNotEmptyGivesTheWordAndTheVersion) {
    struct Case {
        std::string output;
        std::string word;
        const char* version;
    };
    const Case cases[] = {
        {"ready 2.1.2\r\n\r\n", "ready", "2.1.2"},
        {"WARNING: something\r\nnone\r\n", "none", ""},
        {"Ready 2.1.2", "Ready", "2.1.2"},
        {"ready 2.1.2b", "ready", ""},
        {"manual 3.0 \r \r\n  \n\r\n", "manual", "3.0"},
        {"ready 2.1.2\nnone", "none", ""},
        {"\tready\t2.1.2 extra", "ready", "2.1.2"},
        {"ready", "ready", ""},
        {"", "", ""},
        {"\r\n \r\n\n", "", ""},
        {"ready 2.1.2\n\t\n", "", ""}, // a tab is not stripped: that line is the last
        {"ready \0x2.1"s, "ready", ""},
        {"\xff\xfe\x00ready 9.9"s, "\xff\xfe\x00ready"s, "9.9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const UpdateOutput result = readUpdateOutput(c.output);
        EXPECT_EQ(result.word, c.word);
        EXPECT_EQ(result.version, c.version);
    }
}

TEST(UpdateOutput, TenMegabytesWithoutALineFeedAreOneLine) {
    std::string output(10 << 20, 'x');
    output += " 1.2";
    const UpdateOutput result = readUpdateOutput(output);
    EXPECT_EQ(result.word.size(), std::size_t{10 << 20});
    EXPECT_EQ(result.version, "1.2");
}

TEST(UpdateState, EveryCellOfTheTable) {
    struct Case {
        const wchar_t* before;
        bool ranOk;
        const char* output;
        const wchar_t* status;
        const wchar_t* detail;
    };
    // Before each check the detail is "1.0", from an earlier result.
    const Case cases[] = {
        {L"idle", true, "ready 2.1.2", L"ready", L"2.1.2"},
        {L"idle", true, "manual 2.1.2", L"manual", L"2.1.2"},
        {L"idle", true, "none", L"idle", L"1.0"},
        {L"idle", false, "", L"error", L"1.0"},
        {L"manual", true, "ready 2.1.2", L"ready", L"2.1.2"},
        {L"manual", true, "manual 2.1.2", L"manual", L"2.1.2"},
        {L"manual", true, "none", L"idle", L"1.0"},
        {L"manual", false, "", L"manual", L"1.0"},
        {L"error", true, "ready 2.1.2", L"ready", L"2.1.2"},
        {L"error", true, "manual 2.1.2", L"manual", L"2.1.2"},
        {L"error", true, "none", L"idle", L"1.0"},
        {L"error", false, "", L"error", L"1.0"},
        {L"ready", true, "none", L"ready", L"1.0"},
        {L"ready", false, "", L"ready", L"1.0"},
        // Neither a wrong case nor a version with letters, nor output of a failed run.
        {L"idle", true, "Ready 2.1.2", L"idle", L"1.0"},
        {L"idle", true, "ready 2.1.2b", L"idle", L"1.0"},
        {L"idle", false, "ready 2.1.2", L"error", L"1.0"},
        {L"manual", true, "ready", L"idle", L"1.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        const UpdateState next = nextUpdateState({c.before, L"1.0"}, c.ranOk, c.output);
        EXPECT_EQ(next, (UpdateState{c.status, c.detail}));
    }
}

TEST(UpdateState, ThePushScriptCarriesTheVersionOnlyWhenThereIsOne) {
    EXPECT_EQ(updatePushScript({}),
              L"if (window.__tolvinUpdate) window.__tolvinUpdate({\"status\":\"idle\"});");
    EXPECT_EQ(updatePushScript({L"ready", L"2.1.2"}),
              L"if (window.__tolvinUpdate) "
              L"window.__tolvinUpdate({\"status\":\"ready\",\"version\":\"2.1.2\"});");
}

TEST(UpdateState, OnlyAReadyUpdateOutsideACallInTheFirstMinuteInstallsByItself) {
    struct Case {
        const wchar_t* status;
        bool inCall;
        unsigned long long ms;
        bool installs;
    };
    const Case cases[] = {
        {L"ready", false, 0, true},       {L"ready", false, 59999, true},
        {L"ready", false, 60000, false},  {L"ready", true, 40000, false},
        {L"manual", false, 40000, false}, {L"idle", false, 40000, false},
        {L"ready", false, ~0ull, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(installsAutomatically({c.status, L"2.1.2"}, c.inCall, c.ms), c.installs);
    }
}

TEST(UpdateScript, CommandLinesQuoteEveryPath) {
    const std::wstring app = folderOf(L"C:\\Apps\\Tolvin\\Tolvin.exe");
    const std::wstring stage = stageFolderIn(L"C:\\Users\\user\\AppData\\Local");
    const std::wstring head = L"\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\""
                              L" -NoProfile -NonInteractive -ExecutionPolicy Bypass -WindowStyle "
                              L"Hidden -File \"C:\\Users\\user\\AppData\\Local\\Tolvin\\update\\"
                              L"native-update.ps1\" ";
    const std::wstring powerShell = powerShellIn(L"C:\\Windows\\system32");
    EXPECT_EQ(powerShellCommandLine(powerShell, scriptFileIn(stage), checkArguments(app, stage)),
              head + L"check 2.1.1 \"C:\\Apps\\Tolvin\" "
                     L"\"C:\\Users\\user\\AppData\\Local\\Tolvin\\update\"");
    EXPECT_EQ(
        powerShellCommandLine(powerShell, scriptFileIn(stage), installArguments(app, 5120, stage)),
        head + L"install \"C:\\Apps\\Tolvin\" 5120 "
               L"\"C:\\Users\\user\\AppData\\Local\\Tolvin\\update\"");
}

TEST(UpdateScript, NoStageFolderWithoutALocalFolder) {
    EXPECT_EQ(stageFolderIn(L""), L"");
}

} // namespace
