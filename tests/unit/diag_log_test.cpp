#include <gtest/gtest.h>

#include <map>

#include "diag/diag.h"

namespace {

TEST(LogLine, TimeInUtcWithMillisecondsThenPidLevelSourceAndTheTextOnOneLine) {
    struct Case {
        int64_t unixMs;
        uint32_t pid;
        LogLevel level;
        LogSource source;
        std::wstring text;
        std::string expected;
    } cases[] = {
        {0, 1, LogLevel::Info, LogSource::Shell, L"start",
         "1970-01-01T00:00:00.000Z 1 info [shell] start\n"},
        {1709294400250, 4242, LogLevel::Warn, LogSource::WebView, L"a\r\nb\tc\x7f",
         "2024-03-01T12:00:00.250Z 4242 warn [web view] a  b c \n"},
        {951868799999, 4294967295, LogLevel::Error, LogSource::AppAudio, L"\u00e9\u20ac",
         "2000-02-29T23:59:59.999Z 4294967295 error [app audio] \xc3\xa9\xe2\x82\xac\n"},
        {-1, 7, LogLevel::Info, LogSource::Update, std::wstring{L'x', wchar_t(0xd800)},
         "1969-12-31T23:59:59.999Z 7 info [update] x\xef\xbf\xbd\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(logLine(utcTimeFromUnixMs(c.unixMs), c.pid, c.level, c.source, c.text),
                  c.expected);
}

// The logs folder in memory.
struct MemoryFiles : LogFiles {
    std::map<std::wstring, std::string> files;
    uint64_t size(const std::wstring& name) override { return files[name].size(); }
    bool append(const std::wstring& name, std::string_view bytes) override {
        files[name] += bytes;
        return true;
    }
    void replace(const std::wstring& from, const std::wstring& to) override {
        files[to] = std::exchange(files[from], {});
    }
};

TEST(LogFile, ALineThatWouldCrossOneMebibyteStartsANewFileAndOnlyOneOldFileIsKept) {
    constexpr size_t LIMIT = 1 << 20;
    struct Case {
        size_t before;                 // bytes already in tolvin.log; tolvin.old.log holds "o"
        std::vector<size_t> lines;     // lengths of the lines written in one batch
        size_t current, old, oldFirst; // sizes after, and the first line's length in the old file
    } cases[] = {
        {0, {100}, 100, 1, 1},
        {LIMIT - 100, {100}, LIMIT, 1, 1},
        {LIMIT - 100, {101}, 101, LIMIT - 100, LIMIT - 100},
        {LIMIT - 100, {50, 60, 70}, 130, LIMIT - 50, LIMIT - 100},
        {0, std::vector<size_t>(2000, 1000), 952 * 1000, 1048 * 1000, 1000},
        {0, {LIMIT + 10}, LIMIT + 10, 1, 1},
    };
    for (const Case& c : cases) {
        MemoryFiles folder;
        if (c.before) folder.files[L"tolvin.log"] = std::string(c.before - 1, 'b') + '\n';
        folder.files[L"tolvin.old.log"] = "o";
        LogFile file(folder, L"tolvin");
        std::string batch;
        for (size_t length : c.lines) batch += std::string(length - 1, 'n') + '\n';
        file.write(batch);
        const std::string& old = folder.files[L"tolvin.old.log"];
        EXPECT_EQ(folder.files[L"tolvin.log"].size(), c.current) << c.before;
        EXPECT_EQ(old.size(), c.old) << c.before;
        EXPECT_EQ(old.find('\n') == std::string::npos ? old.size() : old.find('\n') + 1, c.oldFirst)
            << c.before;
    }
}

TEST(CrashReport, FramesAsModulePlusOffsetAndTheNewestFiveDumpsKept) {
    EXPECT_EQ(
        crashText(L"", 0xC00000FD, {{L"Tolvin.exe", 0x1a2b}, {L"", 0x7ff0}}),
        L"crash: exception 0xC00000FD at Tolvin.exe+0x1a2b; frames Tolvin.exe+0x1a2b ?+0x7ff0");
    EXPECT_EQ(crashText(L"abort", 0x40000015, {}), L"crash: abort; frames");
    EXPECT_EQ(dumpName({2025, 3, 1, 9, 5, 7, 42}, 77, L"Tolvin.exe"),
              L"crash-20250301-090507042-77-Tolvin.exe.dmp");
    std::vector<std::wstring> names;
    for (int day = 17; day >= 10; --day)
        names.push_back(dumpName({2025, 3, day, 0, 0, 0, 0}, 1, L"a.exe"));
    EXPECT_EQ(dumpsToDelete(names), std::vector<std::wstring>(names.rbegin(), names.rbegin() + 3));
    EXPECT_TRUE(dumpsToDelete({names[0]}).empty());
}

TEST(ChildEnd, AnExceptionCodeIsNamedAndTheLastErrorLineKept) {
    EXPECT_EQ(exitText(0), L"exit code 0");
    EXPECT_EQ(exitText(0xBFFFFFFF), L"exit code 3221225471");
    EXPECT_EQ(exitText(0xC0000005), L"exception 0xC0000005");
    EXPECT_EQ(lastLine("ready\r\n  unsupported 0x88890008 \r\n\r\n"), "unsupported 0x88890008");
    EXPECT_EQ(lastLine(" \r\n"), "");
    EXPECT_EQ(excerpt("a\r\n\xe9z", 4), L"a   ");
}

} // namespace
