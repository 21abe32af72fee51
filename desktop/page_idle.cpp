#include "desktop/page_idle.h"

MemoryTarget memoryTargetFor(bool pageShown, bool inCall, bool sharing) {
    return pageShown || inCall || sharing ? MemoryTarget::Normal : MemoryTarget::Low;
}
