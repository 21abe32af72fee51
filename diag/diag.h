#pragma once

// The log and the crash report that both programs leave for a maintainer, in
// %LOCALAPPDATA%\Tolvin\logs. Each program writes its own file (Tolvin
// tolvin.log, the capture helper app-audio.log), so no two processes ever rotate
// one file. The texts, the rotation and the writer thread are portable; the
// functions at the end are the Windows edge (diag/*_win.cpp).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class LogLevel { Info, Warn, Error };
enum class LogSource { Shell, WebView, AppAudio, Update };

struct UtcTime {
    int year, month, day, hour, minute, second, millisecond;
};
UtcTime utcTimeFromUnixMs(int64_t ms);

// One event as one UTF-8 line:
//   2025-03-01T12:00:00.250Z 4242 warn [web view] start failed: 0x80004005
// Line breaks and other control characters in the text become spaces; UTF-16
// that is not well formed becomes U+FFFD.
std::string logLine(const UtcTime& time, uint32_t pid, LogLevel level, LogSource source,
                    std::wstring_view text);

// A file reaching this size is kept as the one old file and a new one started.
inline constexpr uint64_t LOG_LIMIT = 1 << 20;
// Whether a line of `lineSize` bytes goes into a new file: it would carry a file
// that holds anything past the limit.
bool rotatesBefore(uint64_t fileSize, uint64_t lineSize, uint64_t limit = LOG_LIMIT);

// The folder's files as the log uses them, by name: the Windows edge gives the
// logs folder, a test its own.
class LogFiles {
  public:
    virtual ~LogFiles() = default;
    // The size of a file, 0 when there is none.
    virtual uint64_t size(const std::wstring& name) = 0;
    // Adds bytes at the end of a file, made if need be; false when it cannot.
    virtual bool append(const std::wstring& name, std::string_view bytes) = 0;
    // Renames a file over another, which goes first.
    virtual void replace(const std::wstring& from, const std::wstring& to) = 0;
};

// "<stem>.log" and its one old file "<stem>.old.log".
class LogFile {
  public:
    LogFile(LogFiles& files, std::wstring_view stem);
    // Writes whole lines, each into the file that holds it without passing
    // LOG_LIMIT; a file that cannot be written drops them.
    void write(std::string_view lines);

  private:
    LogFiles& files;
    std::wstring current, old;
    uint64_t size = 0;
};

// The program's log. Lines handed over by any thread are written by a thread of
// its own, so the caller never waits for the disk: it formats nothing and moves
// one string. A full queue drops the line. Before startLog, and when the writer
// thread could not start, logging does nothing.
inline constexpr size_t LOG_QUEUE_LIMIT = 4096;
void startLog(std::unique_ptr<LogFiles> files, std::wstring_view stem, uint32_t pid);
void logEvent(LogLevel level, LogSource source, std::wstring text);
bool flushLog(std::chrono::milliseconds limit);

// Bytes a program wrote (PowerShell's error text, the helper's error line) as log
// text: at most `limit` bytes, each byte outside printable ASCII as a space.
std::wstring excerpt(std::string_view bytes, size_t limit);

// How a child process ended: "exit code 3", or for a code in the range of
// exception codes (what a process that died of one ends with) "exception 0xC0000005".
std::wstring exitText(uint32_t code);

// The last line of a program's error text that holds anything but spaces.
std::string_view lastLine(std::string_view text);

// The crash line's text. `what` names a terminate or an abort; otherwise the
// exception code is given. Frames are module+offset, the first the faulting one.
struct CrashFrame {
    std::wstring module;
    uint64_t offset;
};
std::wstring crashText(std::wstring_view what, uint32_t code,
                       const std::vector<CrashFrame>& frames);

// Crash dumps are named so that names sort by time; of those in a folder the
// newest `keep` stay.
inline constexpr size_t DUMPS_KEPT = 5;
std::wstring dumpName(const UtcTime& time, uint32_t pid, std::wstring_view program);
std::vector<std::wstring> dumpsToDelete(std::vector<std::wstring> names, size_t keep = DUMPS_KEPT);

// Windows edge. Starts the program's log in the logs folder (made if need be)
// and the crash report, whose line goes to that log under `source`.
void startDiagnostics(std::wstring_view stem, LogSource source);
// "Windows 10.0 build 22631", from RtlGetVersion.
std::wstring windowsVersion();
// Whether this program's file carries an Authenticode signature.
bool programIsSigned();
