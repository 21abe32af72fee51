#pragma once

// Whether the runtime may trim the page's processes: only while nobody sees the
// page and it carries no sound. Trimmed in a call or during a share, the very
// processes that carry the sound would be starved.

enum class MemoryTarget { Normal, Low };

MemoryTarget memoryTargetFor(bool pageShown, bool inCall, bool sharing);
