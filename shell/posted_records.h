#pragma once

// The heap records that worker threads hand to the window thread by posting a
// private message with the record's address. Any program on the desktop can post
// the same message numbers with made-up addresses, so the window thread takes a
// record only when it is one that was posted and not yet taken; anything else is
// ignored and never dereferenced.

#include <mutex>
#include <unordered_set>

class PostedRecords {
  public:
    // Called by the poster just before it posts `record`.
    void add(const void* record);
    // Removes `record` and says whether it was there: true exactly once per add.
    bool take(const void* record);

  private:
    std::mutex lock;
    std::unordered_set<const void*> pending;
};
