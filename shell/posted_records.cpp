#include "shell/posted_records.h"

void PostedRecords::add(const void* record) {
    std::lock_guard held(lock);
    pending.insert(record);
}

bool PostedRecords::take(const void* record) {
    std::lock_guard held(lock);
    return pending.erase(record) == 1;
}
