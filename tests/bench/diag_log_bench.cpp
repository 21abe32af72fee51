// What a log line costs the thread that logs it (the user-interface thread in
// Tolvin): the call hands the text to the writer thread, which writes the file.
// Bursts of 500 lines, the writer draining between them, to files in /tmp.

#include "diag/diag.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct TmpFiles : LogFiles {
    std::string folder = "/tmp/";
    uint64_t size(const std::wstring&) override { return 0; }
    bool append(const std::wstring& name, std::string_view bytes) override {
        std::ofstream(folder + std::string(name.begin(), name.end()), std::ios::app)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return true;
    }
    void replace(const std::wstring&, const std::wstring&) override {}
};

} // namespace

int main() {
    startLog(std::make_unique<TmpFiles>(), L"tolvin-log-bench", 4242);
    using Clock = std::chrono::steady_clock;
    std::vector<double> us;
    for (int burst = 0; burst < 40; ++burst) {
        for (int i = 0; i < 500; ++i) {
            std::wstring text = L"share " + std::to_wstring(i) +
                                L" ended: helper exit code 0, last error line \"ready\"";
            const auto start = Clock::now();
            logEvent(LogLevel::Info, LogSource::AppAudio, std::move(text));
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        if (!flushLog(std::chrono::seconds(5))) return 1;
    }
    std::remove("/tmp/tolvin-log-bench.log");
    std::sort(us.begin(), us.end());
    std::printf(
        "logEvent on the calling thread, %zu lines: median %.2f us, p99 %.2f us, max %.1f us\n",
        us.size(), us[us.size() / 2], us[us.size() * 99 / 100], us.back());
}
