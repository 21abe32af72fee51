#include "shell/recovery.h"

Recovery BrowserRebuilds::onProcessFailed(int kind, uint64_t nowMs) {
    if (kind == RENDER_PROCESS_EXITED || kind == RENDER_PROCESS_UNRESPONSIVE)
        return Recovery::Reload;
    if (kind != BROWSER_PROCESS_EXITED) return Recovery::Nothing;
    while (!recent.empty() && nowMs - recent.front() >= REBUILD_WINDOW_MS) recent.pop_front();
    if (recent.size() >= MAX_REBUILDS) return Recovery::GiveUp;
    recent.push_back(nowMs);
    return Recovery::Rebuild;
}
