#include "capture/stream_health.h"

bool StreamHealth::failedAfter(int32_t result) {
    if (result >= 0) {
        failuresInRow_ = 0;
        return false;
    }
    if (result == HR_AUDCLNT_E_DEVICE_INVALIDATED || result == HR_AUDCLNT_E_SERVICE_NOT_RUNNING ||
        result == HR_AUDCLNT_E_RESOURCES_INVALIDATED) {
        return true;
    }
    return ++failuresInRow_ >= STREAM_FAILURES_IN_ROW;
}
