#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "diag/diag.h"

namespace {

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Info:
        return "info";
    case LogLevel::Warn:
        return "warn";
    case LogLevel::Error:
        break;
    }
    return "error";
}

const char* sourceName(LogSource source) {
    switch (source) {
    case LogSource::Shell:
        return "shell";
    case LogSource::WebView:
        return "web view";
    case LogSource::AppAudio:
        return "app audio";
    case LogSource::Update:
        break;
    }
    return "update";
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x20 || c == 0x7f) {
        out += ' ';
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// UTF-16 on Windows; a 32-bit wchar_t holds code points, where a surrogate is
// just as wrong.
void appendText(std::string& out, std::wstring_view text) {
    constexpr uint32_t REPLACEMENT = 0xfffd;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.size() && sizeof(wchar_t) == 2) {
            const uint32_t low = static_cast<uint32_t>(text[i + 1]);
            if (low >= 0xdc00 && low <= 0xdfff) {
                appendUtf8(out, 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00));
                ++i;
                continue;
            }
        }
        if ((c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff) c = REPLACEMENT;
        appendUtf8(out, c);
    }
}

// Formats ASCII with the narrow printf, which the programs carry anyway.
template <typename... Args> std::wstring ascii(const char* format, Args... args) {
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof(buffer), format, args...);
    return std::wstring(buffer, buffer + std::clamp(length, 0, 63));
}

// Lives as long as the process (g_log): its thread writes until the process ends.
class LogWriter {
  public:
    LogWriter(std::unique_ptr<LogFiles> files, std::wstring_view stem, uint32_t pid)
        : files(std::move(files)), file(*this->files, stem), pid(pid), thread([this] { run(); }) {}

    void write(LogLevel level, LogSource source, std::wstring text) {
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        {
            std::lock_guard hold(lock);
            if (queue.size() >= LOG_QUEUE_LIMIT) return;
            queue.push_back({now, level, source, std::move(text)});
            ++handedOver;
        }
        wake.notify_one();
    }

    bool flush(std::chrono::milliseconds limit) {
        std::unique_lock hold(lock);
        const uint64_t target = handedOver;
        return drained.wait_for(hold, limit, [&] { return written >= target; });
    }

  private:
    struct Entry {
        int64_t unixMs;
        LogLevel level;
        LogSource source;
        std::wstring text;
    };

    void run() {
        std::unique_lock hold(lock);
        for (;;) {
            wake.wait(hold, [&] { return !queue.empty(); });
            std::deque<Entry> batch;
            batch.swap(queue);
            hold.unlock();
            std::string lines;
            for (const Entry& entry : batch)
                lines += logLine(utcTimeFromUnixMs(entry.unixMs), pid, entry.level, entry.source,
                                 entry.text);
            file.write(lines);
            hold.lock();
            written += batch.size();
            drained.notify_all();
        }
    }

    std::unique_ptr<LogFiles> files;
    LogFile file;
    uint32_t pid;
    std::mutex lock;
    std::condition_variable wake, drained;
    std::deque<Entry> queue;
    uint64_t handedOver = 0, written = 0;
    std::thread thread;
};

// Never destroyed: the process may end from any thread, and the crash report
// writes through it to the last moment. Whoever ends the program flushes first.
LogWriter* g_log = nullptr;

} // namespace

UtcTime utcTimeFromUnixMs(int64_t ms) {
    int64_t days = ms / 86400000;
    int64_t rest = ms % 86400000;
    if (rest < 0) {
        rest += 86400000;
        --days;
    }
    // Civil date from a day count (the proleptic Gregorian calendar, eras of 400 years).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(yoe + era * 400 + (month <= 2)),
            static_cast<int>(month),
            static_cast<int>(doy - (153 * mp + 2) / 5 + 1),
            static_cast<int>(rest / 3600000),
            static_cast<int>(rest / 60000 % 60),
            static_cast<int>(rest / 1000 % 60),
            static_cast<int>(rest % 1000)};
}

std::string logLine(const UtcTime& time, uint32_t pid, LogLevel level, LogSource source,
                    std::wstring_view text) {
    char head[96];
    std::snprintf(head, sizeof(head), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %u %s [%s] ", time.year,
                  time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                  static_cast<unsigned>(pid), levelName(level), sourceName(source));
    std::string line = head;
    appendText(line, text);
    line += '\n';
    return line;
}

bool rotatesBefore(uint64_t fileSize, uint64_t lineSize, uint64_t limit) {
    return fileSize > 0 && fileSize + lineSize > limit;
}

LogFile::LogFile(LogFiles& files, std::wstring_view stem)
    : files(files), current(std::wstring(stem) + L".log"), old(std::wstring(stem) + L".old.log") {}

void LogFile::write(std::string_view lines) {
    // Read again at each batch: an ending helper and the next one may both write
    // app-audio.log for a moment, and a size kept from before would rotate twice.
    size = files.size(current);
    size_t from = 0; // the lines from here on go into the current file in one append
    size_t at = 0;
    while (at < lines.size()) {
        const size_t end = lines.find('\n', at);
        const size_t length = (end == std::string_view::npos ? lines.size() : end + 1) - at;
        if (rotatesBefore(size + (at - from), length)) {
            if (at > from) files.append(current, lines.substr(from, at - from));
            files.replace(current, old);
            size = 0;
            from = at;
        }
        at += length;
    }
    if (at > from && files.append(current, lines.substr(from, at - from))) size += at - from;
}

void startLog(std::unique_ptr<LogFiles> files, std::wstring_view stem, uint32_t pid) {
    if (g_log) return;
    try {
        g_log = new LogWriter(std::move(files), stem, pid);
    } catch (const std::system_error&) {
        // No writer thread: logging stays off.
    }
}

void logEvent(LogLevel level, LogSource source, std::wstring text) {
    if (g_log) g_log->write(level, source, std::move(text));
}

bool flushLog(std::chrono::milliseconds limit) {
    return g_log && g_log->flush(limit);
}

std::wstring excerpt(std::string_view bytes, size_t limit) {
    std::wstring text;
    for (const char c : bytes.substr(0, limit))
        text += c >= 0x20 && c < 0x7f ? static_cast<wchar_t>(c) : L' ';
    return text;
}

std::wstring exitText(uint32_t code) {
    return code >= 0xC0000000u ? ascii("exception 0x%08X", code) : ascii("exit code %u", code);
}

std::string_view lastLine(std::string_view text) {
    constexpr std::string_view BLANK = " \t\r\n";
    const size_t end = text.find_last_not_of(BLANK);
    if (end == std::string_view::npos) return {};
    const size_t before = text.find_last_of("\r\n", end);
    const size_t from = before == std::string_view::npos ? 0 : before + 1;
    const std::string_view line = text.substr(from, end + 1 - from);
    return line.substr(std::min(line.find_first_not_of(BLANK), line.size()));
}

std::wstring crashText(std::wstring_view what, uint32_t code,
                       const std::vector<CrashFrame>& frames) {
    std::wstring text = L"crash: ";
    text += what.empty() ? ascii("exception 0x%08X", code) : std::wstring(what);
    const auto frameText = [](const CrashFrame& frame) {
        return (frame.module.empty() ? std::wstring(L"?") : frame.module) +
               ascii("+0x%llx", static_cast<unsigned long long>(frame.offset));
    };
    if (!frames.empty()) text += L" at " + frameText(frames.front());
    text += L"; frames";
    for (const CrashFrame& frame : frames) text += L' ' + frameText(frame);
    return text;
}

std::wstring dumpName(const UtcTime& time, uint32_t pid, std::wstring_view program) {
    return ascii("crash-%04d%02d%02d-%02d%02d%02d%03d-%u-", time.year, time.month, time.day,
                 time.hour, time.minute, time.second, time.millisecond, pid) +
           std::wstring(program) + L".dmp";
}

std::vector<std::wstring> dumpsToDelete(std::vector<std::wstring> names, size_t keep) {
    std::sort(names.begin(), names.end());
    if (names.size() <= keep) return {};
    names.resize(names.size() - keep);
    return names;
}
