#include "common/timedwait.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace tavo {

void WaitOnceFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
                 std::chrono::milliseconds timeout) {
    // The library counts the time in 32-bit milliseconds, where 0xFFFFFFFF would mean no limit.
    constexpr int64_t kLongestMs = 0xFFFFFFFE;
    const int64_t ms = std::clamp<int64_t>(timeout.count(), 0, kLongestMs);
    timespec relative = {};
    relative.tv_sec = static_cast<time_t>(ms / 1000);
    relative.tv_nsec = static_cast<long>(ms % 1000 * 1000000);
    // A wake, a timeout and a failure all end the one sleep; the caller tests its condition again.
    pthread_cond_timedwait_relative_np(condition.native_handle(), lock.mutex()->native_handle(), &relative);
}

}  // namespace tavo
