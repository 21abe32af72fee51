#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "shell/settings.h"

namespace {

using namespace std::string_literals;

// Stands in for the platform's UTF-8 conversion: ASCII widens one to one, and
// a value holding the byte 0xFF counts as one that yields nothing.
std::optional<std::wstring> widenAscii(std::string_view utf8) {
    if (utf8.find('\xff') != std::string_view::npos) return std::nullopt;
    return std::wstring(utf8.begin(), utf8.end());
}

std::optional<std::wstring> read(const std::string& file) {
    std::istringstream in(file);
    return readServerUrl(in, widenAscii);
}

struct FileCase {
    const char* name;
    std::string file;
    std::optional<std::wstring> url;
};

TEST(SettingsFile, FindsTheAddressTheWayTheLineReaderDefinesIt) {
    const FileCase cases[] = {
        {"empty file", "", std::nullopt},
        {"one line object", R"({"serverUrl":"x"})", L"x"},
        {"blank before the colon is not the key", R"({ "serverUrl" : "x" })", std::nullopt},
        // The value is not parsed: the next two quotes after the key enclose it,
        // here those of the following key.
        {"first two quotes after the key", R"("serverUrl": 5, "name": "y")", L"name"},
        {"value on the next line is not seen", "{\n  \"serverUrl\":\n    \"x\"\n}\n", std::nullopt},
        {"the last line with a value wins", "{\"serverUrl\":\"a\"}\n{\"serverUrl\":\"b\"}\n", L"b"},
        {"an empty value keeps the earlier one", "\"serverUrl\":\"a\"\n\"serverUrl\":\"\"\n", L"a"},
        {"escapes are not interpreted", R"({"serverUrl":"a\"b"})", L"a\\"},
        {"only one quote after the key", "\"serverUrl\": \"x\n", std::nullopt},
        {"a last line without a line feed counts", "\n\n\"serverUrl\":\"z\"", L"z"},
        {"a carriage return after the value does no harm", "{\"serverUrl\":\"x\"}\r\n", L"x"},
        {"key shorter than its text", "\"serverUrl", std::nullopt},
        {"a value that does not convert keeps the earlier one",
         "\"serverUrl\":\"a\"\n\"serverUrl\":\"\xff\"\n", L"a"},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.file), c.url) << c.name;
}

TEST(SettingsFile, NulBytesEndTheValueAsATerminatedStringWould) {
    EXPECT_EQ(read("\"serverUrl\":\"ab\0cd\""s), L"ab");
    // A value that starts with NUL is empty and keeps the earlier address.
    EXPECT_EQ(read("\"serverUrl\":\"a\"\n\"serverUrl\":\"\0x\"\n"s), L"a");
    // NUL bytes elsewhere on the line are just bytes.
    EXPECT_EQ(read("\0\0\"serverUrl\":\0\"q\""s), L"q");
}

TEST(SettingsFile, BinaryGarbageFindsNothingAndDoesNotCrash) {
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    EXPECT_EQ(read(garbage), std::nullopt);
    // The same garbage around a good line does not hide it.
    EXPECT_EQ(read(garbage + "\n\"serverUrl\":\"https://a.example/\"\n" + garbage),
              L"https://a.example/");
}

TEST(SettingsFile, A50MegabyteLineIsReadWhole) {
    const std::string huge(50u << 20, 'a');
    EXPECT_EQ(read(huge + "\n{\"serverUrl\":\"ok\"}\n"), L"ok");
    const auto value = read("\"serverUrl\":\"" + huge + "\"");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->size(), huge.size());
}

TEST(SettingsFile, AFolderInPlaceOfTheFileReadsAsNothing) {
    const auto folder = std::filesystem::temp_directory_path() / "tolvin-settings-folder";
    std::filesystem::create_directories(folder);
    std::ifstream in(folder);
    EXPECT_EQ(readServerUrl(in, widenAscii), std::nullopt);
    std::filesystem::remove(folder);
}

TEST(SwitchServer, TakesHttpAddressesWithAHostThatTheReaderCanReadBack) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"https://chat.example/room", true},
        {L"http://127.0.0.1:8080", true},
        {L"HTTPS://Chat.Example", true},
        {L"ftp://x", false},
        {L"not an address", false},
        {L"https://", false},
        {L"https:///path", false},
        {L"chat.example", false},
        {L"", false},
        {L"https://a\"b.example", false},
        {L"https://a.example\\path", false},
        {L"https://a.example/\n", false},
        {L"https://a.example/\r", false},
        {L"https://a.example/ ", false},
        {L" https://a.example/", false},
    };
    for (const auto& [address, fine] : cases)
        EXPECT_EQ(!serverUrlProblem(address).has_value(), fine) << std::wstring(address).size();
}

TEST(SwitchServer, RewritesTheValueLineOrAddsOneKeepingEveryOtherLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "{\"serverUrl\": \"U\"}\n"},
        {"# notes\n", "# notes\n{\"serverUrl\": \"U\"}\n"},
        {"notes", "notes\n{\"serverUrl\": \"U\"}\n"},
        {"{}", "{\n  \"serverUrl\": \"U\"\n}"},
        {"{\n}\n", "{\n  \"serverUrl\": \"U\"\n}\n"},
        {"{\"a\":1}", "{\n  \"serverUrl\": \"U\",\n\"a\":1}"},
        {"{\n\t\"a\": 1\n}\n", "{\n\t\"serverUrl\": \"U\",\n\t\"a\": 1\n}\n"},
        {"{\r\n    \"a\": 1\r\n}\r\n", "{\r\n    \"serverUrl\": \"U\",\r\n    \"a\": 1\r\n}\r\n"},
        {"{\r\n  \"a\": \"{\",\r\n  \"serverUrl\": \"old\",\r\n  \"z\": 2\r\n}\r\n",
         "{\r\n  \"a\": \"{\",\r\n  \"serverUrl\": \"U\",\r\n  \"z\": 2\r\n}\r\n"},
        {"{\"serverUrl\":\"a\"}\n{\"serverUrl\":\"b\"}",
         "{\"serverUrl\":\"a\"}\n{\"serverUrl\":\"U\"}"},
        {"{\"serverUrl\": \"\"}", "{\"serverUrl\": \"U\"}"},
        // A key whose value the reader cannot find is left as it is.
        {"{\n  \"serverUrl\":\n    \"x\"\n}",
         "{\n  \"serverUrl\": \"U\",\n  \"serverUrl\":\n    \"x\"\n}"},
    };
    for (const auto& [before, after] : cases) {
        const std::string written = withServerUrl(before, "U");
        EXPECT_EQ(written, after) << before;
        EXPECT_EQ(read(written), L"U") << before;
    }
}

} // namespace
