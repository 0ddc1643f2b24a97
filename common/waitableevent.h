#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

namespace tavo {

// Results and timeout of WaitForMultipleEvents, as the Win32 wait functions number them.
constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// An auto-reset or manual-reset event in the manner of the Win32 events. A wait over several of
// them subscribes a waiter event of its own to each; a signal is propagated into the subscribers
// (all of them for a manual-reset event, one in turn for an auto-reset event).
class CWaitableEvent {
public:
    explicit CWaitableEvent(bool autoReset);
    CWaitableEvent(const CWaitableEvent&) = delete;
    CWaitableEvent& operator=(const CWaitableEvent&) = delete;

    void Set();
    bool IsSignalled();
    // Clears the signal of an auto-reset event; a manual-reset event is left as it is.
    void ResetIfAutoReset();

    // Return only once the event is signalled, and take the signal of an auto-reset event. TimedWait
    // gives false at the deadline, with the flags untouched. The deadline is on the steady clock,
    // which needs no calendar date: a wall-clock deadline past January 2038 does not fit the thread
    // library's time in the 32-bit build.
    void Wait();
    bool TimedWait(const std::chrono::steady_clock::time_point& deadline);

private:
    // Tests the flags and, for an auto-reset event, clears them in the same step, so that one signal
    // is never taken twice.
    bool takeSignal();
    void propagateSignal(bool manual);
    // Marks a subscriber and wakes it under its wait lock, so that a waiter between its flag test and
    // its sleep cannot miss the signal.
    void signalSubscriber(CWaitableEvent* subscriber, bool manual);

    friend bool claimAnySignalled(uint32_t count, CWaitableEvent** events, uint32_t* index);
    friend bool claimAllSignalled(uint32_t count, CWaitableEvent** events, uint32_t* index,
                                  std::vector<bool>& marks);
    friend void subscribeWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter);
    friend void unregisterWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter);

    std::condition_variable m_condition;
    bool m_bSignalled = false;
    bool m_bManualSignalled = false;
    const bool m_bAutoReset;
    std::mutex m_stateMutex;
    std::mutex m_waitMutex;
    std::list<CWaitableEvent*> m_lstSubscribers;
};

// Waits for any (waitAll false) or all of the events; a null entry counts as signalled. Wait-any
// returns the lowest index taken, wait-all 0 once every event was taken; kWaitTimeout when nothing
// was taken by the deadline, kWaitFailed on failure. milliseconds may be kWaitInfinite.
uint32_t WaitForMultipleEvents(uint32_t count, CWaitableEvent** events, bool waitAll, uint32_t milliseconds);

// The steps of the wait. Takes the lowest signalled entry, clearing it when auto-reset.
bool claimAnySignalled(uint32_t count, CWaitableEvent** events, uint32_t* index);
// Marks every signalled entry (clearing auto-reset ones); true when any was marked.
bool claimAllSignalled(uint32_t count, CWaitableEvent** events, uint32_t* index, std::vector<bool>& marks);
// Appends the waiter to the subscriber list of every entry.
void subscribeWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter);
// Removes the waiter once from the subscriber list of every entry.
void unregisterWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter);

}  // namespace tavo
