#pragma once

// The texts of an app-audio session: where the capture helper lies, how it is
// started, how its readiness is recognised and what the page is told.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr wchar_t HELPER_FILE_NAME[] = L"tolvin-app-audio.exe";

// The helper's full path in the program's folder; empty when there is no folder.
std::wstring helperPathIn(std::wstring_view programFolder);

// The helper's command line: its path in double quotes, then
// "--window <windowId> --self <pid>", or "--all-except <pid>" when windowId is empty.
std::wstring helperCommandLine(std::wstring_view helper, std::wstring_view windowId,
                               uint32_t shellPid);

// {"type":"appAudio:started","id":<id>,"ok":true|false}
std::wstring startedMessage(int id, bool ok);

inline constexpr wchar_t ENDED_MESSAGE[] = L"{\"type\":\"appAudio:ended\"}";

// Looks for "ready" in the helper's error stream as it grows, read by read. The
// word counts wherever it stands, also across two reads and inside other words.
// Text beyond 4096 bytes is cut to its last 16, which still hold any word that a
// read split.
class ReadinessScanner {
  public:
    // Appends one read's bytes; true when "ready" occurs in what is collected.
    bool add(std::string_view bytes);
    std::size_t collected() const { return text.size(); }

  private:
    std::string text;
};
