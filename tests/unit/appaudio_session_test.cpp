#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "appaudio/session.h"
#include "shell/paths.h"

namespace {

TEST(AppAudioSession, FindsTheHelperBesideTheProgram) {
    const struct {
        const wchar_t* program;
        const wchar_t* helper;
    } cases[] = {
        {L"C:\\Apps\\Tolvin\\Tolvin.exe", L"C:\\Apps\\Tolvin\\tolvin-app-audio.exe"},
        {L"\\\\?\\D:\\a b\\Tolvin.exe", L"\\\\?\\D:\\a b\\tolvin-app-audio.exe"},
        {L"C:\\Tolvin.exe", L"C:\\tolvin-app-audio.exe"},
        {L"C:\\odd\\", L"C:\\odd\\tolvin-app-audio.exe"},
        // No folder to look in.
        {L"Tolvin.exe", L""},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(helperPathIn(folderOf(c.program)), c.helper) << c.program;
}

TEST(AppAudioSession, CommandLineNamesTheWindowOrExcludesTheShell) {
    const std::wstring helper = L"C:\\Apps\\Tolvin\\tolvin-app-audio.exe";
    const struct {
        const wchar_t* windowId;
        uint32_t pid;
        const wchar_t* line;
    } cases[] = {
        {L"132004", 5120,
         L"\"C:\\Apps\\Tolvin\\tolvin-app-audio.exe\" --window 132004 --self 5120"},
        {L"", 5120, L"\"C:\\Apps\\Tolvin\\tolvin-app-audio.exe\" --all-except 5120"},
        {L"0", 4294967295u,
         L"\"C:\\Apps\\Tolvin\\tolvin-app-audio.exe\" --window 0 --self 4294967295"},
        {L"", 0, L"\"C:\\Apps\\Tolvin\\tolvin-app-audio.exe\" --all-except 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(helperCommandLine(helper, c.windowId, c.pid), c.line);
}

TEST(AppAudioSession, PageMessagesEchoTheIdInDecimal) {
    const struct {
        std::wstring text;
        const wchar_t* expected;
    } cases[] = {
        {startedMessage(1, true), L"{\"type\":\"appAudio:started\",\"id\":1,\"ok\":true}"},
        {startedMessage(0, false), L"{\"type\":\"appAudio:started\",\"id\":0,\"ok\":false}"},
        {startedMessage(-7, true), L"{\"type\":\"appAudio:started\",\"id\":-7,\"ok\":true}"},
        {startedMessage(INT_MIN, false),
         L"{\"type\":\"appAudio:started\",\"id\":-2147483648,\"ok\":false}"},
        {startedMessage(INT_MAX, true),
         L"{\"type\":\"appAudio:started\",\"id\":2147483647,\"ok\":true}"},
        {ENDED_MESSAGE, L"{\"type\":\"appAudio:ended\"}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

// One read of the error stream and what the scanner must answer after it.
struct Read {
    std::string bytes;
    bool ready;
};

TEST(AppAudioSession, ReadinessIsSeenWhereverTheWordStands) {
    const std::string noise4094(4094, '.');
    const struct {
        const char* name;
        std::vector<Read> reads;
    } cases[] = {
        {"whole", {{"ready\r\n", true}}},
        {"split in two reads", {{"re", false}, {"ady\r\n", true}}},
        {"one byte a read", {{"r", false}, {"e", false}, {"a", false}, {"d", false}, {"y", true}}},
        {"inside another word", {{"already", true}}},
        {"failure texts are not readiness",
         {{"unsupported 0x80070002\r\n", false},
          {"usage: tolvin-app-audio --window <hwnd> [--self <pid>] | --all-except <pid>\r\n",
           false}}},
        {"other case", {{"READY Ready", false}}},
        {"after noise", {{"warming up\r\n", false}, {"ready\r\n", true}}},
        // The text passes 4096 bytes with half the word in it: the 16 bytes kept hold it.
        {"split across the trim", {{noise4094, false}, {"rea", false}, {"dy", true}}},
    };
    for (const auto& c : cases) {
        ReadinessScanner scanner;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            EXPECT_EQ(scanner.add(c.reads[i].bytes), c.reads[i].ready) << c.name << ", read " << i;
        }
    }
}

TEST(AppAudioSession, ErrorTextIsCutToItsLast16BytesPast4096) {
    const struct {
        std::vector<size_t> reads;
        size_t collected;
    } cases[] = {{{4096}, 4096}, {{4000, 97}, 16}, {{4097, 100}, 116}, {{100000, 256}, 272}};
    for (const auto& c : cases) {
        ReadinessScanner scanner;
        for (size_t n : c.reads) scanner.add(std::string(n, 'x'));
        EXPECT_EQ(scanner.collected(), c.collected) << c.reads[0];
    }
}

} // namespace
