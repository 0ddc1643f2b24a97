#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavo {

// Sleeps once on the condition, with the caller's lock held, for at most timeout. The thread
// library's relative wait: the C++ runtime's own timed waits hand it a wall-clock date whose
// seconds are a 32-bit time_t in the 32-bit build, which ends in January 2038 (past it, every wait
// would end at once and its caller spin).
void WaitOnceFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 std::chrono::milliseconds timeout);

// Waits until the predicate holds or the deadline, on the steady clock, has passed; true when the
// predicate holds.
template <typename Predicate>
bool WaitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
               std::chrono::steady_clock::time_point deadline, Predicate predicate) {
    while (!predicate()) {
        const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        WaitOnceFor(condition, lock, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
    return true;
}

}  // namespace tavo
