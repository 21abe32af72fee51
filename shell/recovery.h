#pragma once

// What the shell does when one of the web view's processes fails: a renderer
// that died or hangs is reloaded; a browser process that died takes the web view
// with it and is replaced by a new one, a few times at most, so that a browser
// that cannot stay up does not keep the machine busy restarting it.

#include <cstddef>
#include <cstdint>
#include <deque>

enum class Recovery { Nothing, Reload, Rebuild, GiveUp };

inline constexpr int BROWSER_PROCESS_EXITED = 0;
inline constexpr int RENDER_PROCESS_EXITED = 1;
inline constexpr int RENDER_PROCESS_UNRESPONSIVE = 2;

inline constexpr std::size_t MAX_REBUILDS = 3;
inline constexpr uint64_t REBUILD_WINDOW_MS = 60000;

class BrowserRebuilds {
  public:
    // The answer to a failure of `kind` at `nowMs` (a monotonic clock); a rebuild
    // counts against the limit of MAX_REBUILDS within REBUILD_WINDOW_MS.
    Recovery onProcessFailed(int kind, uint64_t nowMs);

  private:
    std::deque<uint64_t> recent;
};
