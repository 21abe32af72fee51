#pragma once

#include <system_error>
#include <thread>
#include <utility>

// Starts a detached thread; false when the system cannot make one. The thread
// owns copies of the arguments, which are dropped again on failure.
template <typename... Args> bool startDetached(Args&&... args) {
    try {
        std::thread(std::forward<Args>(args)...).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
