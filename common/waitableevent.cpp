#include "common/waitableevent.h"

#include <algorithm>
#include <stdexcept>

#include "common/timedwait.h"

// Lock order: an event's m_waitMutex, its m_stateMutex, then a subscriber's m_waitMutex and
// m_stateMutex. The scans and the subscription hold one event's m_stateMutex at a time and never a
// waiter's m_waitMutex.

namespace tavo {

CWaitableEvent::CWaitableEvent(bool autoReset) : m_bAutoReset(autoReset) {}

void CWaitableEvent::Set() {
    try {
        std::lock_guard<std::mutex> waitLock(m_waitMutex);
        if (m_bAutoReset) {
            m_condition.notify_one();
            propagateSignal(false);
        } else {
            m_condition.notify_all();
            propagateSignal(true);
        }
    } catch (...) {
    }
}

bool CWaitableEvent::IsSignalled() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_bSignalled || m_bManualSignalled;
}

// The same locked step as a wait's taking of the signal, so a reset never splits a signal that a
// waiter is taking.
void CWaitableEvent::ResetIfAutoReset() {
    takeSignal();
}

bool CWaitableEvent::takeSignal() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_bSignalled && !m_bManualSignalled) {
        return false;
    }
    if (m_bAutoReset) {
        m_bSignalled = false;
        m_bManualSignalled = false;
    }
    return true;
}

// The flag test and the sleep happen under m_waitMutex, which a signal holds while it marks and
// wakes, so a signal cannot fall between them; a wake-up without a signal sleeps again.
void CWaitableEvent::Wait() {
    try {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_condition.wait(lock, [this] { return takeSignal(); });
    } catch (const std::exception& e) {
        throw std::runtime_error(e.what());
    }
}

bool CWaitableEvent::TimedWait(const std::chrono::steady_clock::time_point& deadline) {
    std::unique_lock<std::mutex> lock(m_waitMutex);
    return WaitUntil(m_condition, lock, deadline, [this] { return takeSignal(); });
}

// The event's own flag is set first, under its lock: a subscriber woken below that scans the
// events finds it set, and a propagation that fails part-way still leaves the event signalled.
void CWaitableEvent::propagateSignal(bool manual) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (manual) {
        m_bManualSignalled = true;
        for (CWaitableEvent* subscriber : m_lstSubscribers) {
            if (subscriber != nullptr) {
                signalSubscriber(subscriber, true);
            }
        }
        return;
    }
    m_bSignalled = true;
    if (!m_lstSubscribers.empty() && m_lstSubscribers.front() != nullptr) {
        CWaitableEvent* subscriber = m_lstSubscribers.front();
        // Successive signals go round the subscribers; moving the node allocates nothing.
        m_lstSubscribers.splice(m_lstSubscribers.end(), m_lstSubscribers, m_lstSubscribers.begin());
        signalSubscriber(subscriber, false);
    }
}

void CWaitableEvent::signalSubscriber(CWaitableEvent* subscriber, bool manual) {
    std::lock_guard<std::mutex> waitLock(subscriber->m_waitMutex);
    if (manual) {
        subscriber->m_condition.notify_all();
    } else {
        subscriber->m_condition.notify_one();
    }
    subscriber->propagateSignal(manual);
}

bool claimAnySignalled(uint32_t count, CWaitableEvent** events, uint32_t* index) {
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || events[i]->takeSignal()) {
            *index = i;
            return true;
        }
    }
    return false;
}

bool claimAllSignalled(uint32_t count, CWaitableEvent** events, uint32_t* index, std::vector<bool>& marks) {
    bool any = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || events[i]->takeSignal()) {
            marks[i] = true;
            *index = i;
            any = true;
        }
    }
    return any;
}

void subscribeWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter) {
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] != nullptr) {
            std::lock_guard<std::mutex> lock(events[i]->m_stateMutex);
            events[i]->m_lstSubscribers.push_back(&waiter);
        }
    }
}

void unregisterWaiter(uint32_t count, CWaitableEvent** events, CWaitableEvent& waiter) {
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) {
            continue;
        }
        std::lock_guard<std::mutex> lock(events[i]->m_stateMutex);
        auto& subscribers = events[i]->m_lstSubscribers;
        auto found = std::find(subscribers.begin(), subscribers.end(), &waiter);
        if (found != subscribers.end()) {
            subscribers.erase(found);
        }
    }
}

namespace {

// The waiter is auto-reset: each wake clears its flags before the scan that follows, so a signal
// that arrives during a scan, behind the entry being tested, wakes the next round at once. A wake
// whose signal another waiter took first finds nothing and sleeps again.
uint32_t waitForAny(CWaitableEvent& waiter, uint32_t count, CWaitableEvent** events, uint32_t milliseconds,
                    const std::chrono::steady_clock::time_point& deadline) {
    uint32_t index = 0;
    while (!claimAnySignalled(count, events, &index)) {
        if (milliseconds == kWaitInfinite) {
            waiter.Wait();
        } else if (!waiter.TimedWait(deadline)) {
            return kWaitTimeout;
        }
    }
    return index;
}

// Events are counted as they arrive, each after a wake of the waiter (whose flags the wake clears
// before the scan, as above), and auto-reset events are consumed as they are counted.
uint32_t waitForAll(CWaitableEvent& waiter, uint32_t count, CWaitableEvent** events, uint32_t milliseconds,
                    const std::chrono::steady_clock::time_point& deadline) {
    std::vector<bool> marks(count, false);
    for (;;) {
        if (milliseconds == kWaitInfinite) {
            waiter.Wait();
        } else if (!waiter.TimedWait(deadline)) {
            return kWaitTimeout;
        }
        std::vector<bool> fresh(count, false);
        uint32_t index = 0;
        claimAllSignalled(count, events, &index, fresh);
        for (uint32_t i = 0; i < count; ++i) {
            marks[i] = marks[i] || fresh[i];
        }
        if (std::find(marks.begin(), marks.end(), false) == marks.end()) {
            return 0;
        }
    }
}

}  // namespace

uint32_t WaitForMultipleEvents(uint32_t count, CWaitableEvent** events, bool waitAll, uint32_t milliseconds) {
    // Nothing to wait for: without events, a wait with no timeout would never end.
    if (count == 0 || events == nullptr) {
        return kWaitFailed;
    }
    CWaitableEvent waiter(true);
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<int64_t>(milliseconds) * 1000);
    uint32_t result = kWaitFailed;
    try {
        subscribeWaiter(count, events, waiter);
        result = waitAll ? waitForAll(waiter, count, events, milliseconds, deadline)
                         : waitForAny(waiter, count, events, milliseconds, deadline);
    } catch (...) {
        result = kWaitFailed;
    }
    // Also after a subscription that failed part-way: no list may keep the waiter past this call.
    unregisterWaiter(count, events, waiter);
    return result;
}

}  // namespace tavo
