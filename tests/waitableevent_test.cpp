#include "common/waitableevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using tavo::CWaitableEvent;
using tavo::kWaitFailed;
using tavo::kWaitInfinite;
using tavo::kWaitTimeout;
using tavo::WaitForMultipleEvents;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Sets an event once the bound has passed, so that a wait which should have ended already does
// not keep the test waiting forever; the test then sees that event's index.
class Watchdog {
public:
    Watchdog(CWaitableEvent& event, milliseconds bound)
        : m_thread([this, &event, bound] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, bound, [this] { return m_cancelled; })) {
                  event.Set();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancelled = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_cancelled = false;
    std::thread m_thread;
};

// Sets an event from another thread after a delay.
class DelayedSet {
public:
    DelayedSet(CWaitableEvent& event, milliseconds delay)
        : m_thread([&event, delay] {
              std::this_thread::sleep_for(delay);
              event.Set();
          }) {}
    ~DelayedSet() { m_thread.join(); }

private:
    std::thread m_thread;
};

// The agent's three events: shutdown, response, identity request.
struct AgentEvents : testing::Test {
    CWaitableEvent shutdown{true};
    CWaitableEvent response{true};
    CWaitableEvent request{true};
    CWaitableEvent* events[3] = {&shutdown, &response, &request};

    uint32_t waitAny(uint32_t timeout) { return WaitForMultipleEvents(3, events, false, timeout); }
};

TEST_F(AgentEvents, LowestSignalledIndexWinsAndOnlyItIsTaken) {
    response.Set();
    request.Set();
    EXPECT_EQ(waitAny(kWaitInfinite), 1u);
    EXPECT_FALSE(shutdown.IsSignalled());
    EXPECT_FALSE(response.IsSignalled());
    EXPECT_TRUE(request.IsSignalled());
    EXPECT_EQ(waitAny(0), 2u);
    EXPECT_FALSE(request.IsSignalled());
    EXPECT_EQ(waitAny(0), kWaitTimeout);
}

TEST_F(AgentEvents, SettingTwiceBeforeTheWaitIsOneSignal) {
    request.Set();
    request.Set();
    EXPECT_EQ(waitAny(0), 2u);
    EXPECT_EQ(waitAny(0), kWaitTimeout);
}

TEST_F(AgentEvents, TimeoutZeroWithNothingSetEndsAtOnce) {
    const auto start = Clock::now();
    EXPECT_EQ(waitAny(0), kWaitTimeout);
    EXPECT_LT(msSince(start), 500);
}

TEST_F(AgentEvents, TimedWaitEndsAtItsDeadline) {
    const auto start = Clock::now();
    EXPECT_EQ(waitAny(300), kWaitTimeout);
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 2000);
}

TEST_F(AgentEvents, SetFromAnotherThreadWakesTheWaiter) {
    CWaitableEvent rescue(false);
    CWaitableEvent* withRescue[4] = {&shutdown, &response, &request, &rescue};
    for (uint32_t timeout : {kWaitInfinite, 20000u}) {
        Watchdog watchdog(rescue, milliseconds(10000));
        DelayedSet setter(request, milliseconds(100));
        const auto start = Clock::now();
        EXPECT_EQ(WaitForMultipleEvents(4, withRescue, false, timeout), 2u) << timeout;
        EXPECT_GE(msSince(start), 90) << timeout;
        EXPECT_FALSE(request.IsSignalled()) << timeout;
    }
}

TEST(WaitForMultipleEvents, NullEntryCountsAsSignalled) {
    CWaitableEvent event(true);
    CWaitableEvent* nullFirst[2] = {nullptr, &event};
    event.Set();
    EXPECT_EQ(WaitForMultipleEvents(2, nullFirst, false, kWaitInfinite), 0u);
    EXPECT_EQ(WaitForMultipleEvents(2, nullFirst, false, kWaitInfinite), 0u);
    EXPECT_TRUE(event.IsSignalled());

    CWaitableEvent* nullLast[2] = {&event, nullptr};
    EXPECT_EQ(WaitForMultipleEvents(2, nullLast, false, kWaitInfinite), 0u);
    EXPECT_EQ(WaitForMultipleEvents(2, nullLast, false, kWaitInfinite), 1u);
}

TEST(WaitForMultipleEvents, FailsWithoutEvents) {
    CWaitableEvent event(true);
    CWaitableEvent* events[1] = {&event};
    EXPECT_EQ(WaitForMultipleEvents(0, events, false, kWaitInfinite), kWaitFailed);
    EXPECT_EQ(WaitForMultipleEvents(0, events, true, kWaitInfinite), kWaitFailed);
    EXPECT_EQ(WaitForMultipleEvents(1, nullptr, false, kWaitInfinite), kWaitFailed);
}

TEST(WaitForMultipleEvents, ManualResetEventStaysSignalledAndReleasesEveryWaiter) {
    CWaitableEvent autoEvent(true);
    CWaitableEvent manual(false);
    CWaitableEvent* events[2] = {&autoEvent, &manual};

    // Two waiters already asleep are both released by one Set.
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (WaitForMultipleEvents(2, events, false, 10000) == 1u) {
                ++released;
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(200));
    manual.Set();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), 2);

    autoEvent.Set();
    EXPECT_EQ(WaitForMultipleEvents(2, events, false, 0), 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(WaitForMultipleEvents(2, events, false, 0), 1u);
    }
    EXPECT_TRUE(manual.IsSignalled());
}

TEST(WaitForMultipleEvents, WaitersOnOneAutoResetEventAreReleasedOnePerSet) {
    CWaitableEvent event(true);
    CWaitableEvent rescue(false);
    CWaitableEvent* events[2] = {&event, &rescue};
    Watchdog watchdog(rescue, milliseconds(10000));

    std::atomic<int> released{0};
    std::atomic<int> rescued{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (WaitForMultipleEvents(2, events, false, kWaitInfinite) == 0u) {
                ++released;
            } else {
                ++rescued;
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(200));
    event.Set();
    const auto start = Clock::now();
    while (released.load() < 1 && msSince(start) < 5000) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.IsSignalled());

    event.Set();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(rescued.load(), 0);
}

TEST(WaitForMultipleEvents, WaitAllCountsOnlyAfterAWakeDuringTheCall) {
    CWaitableEvent a(true);
    CWaitableEvent b(true);
    CWaitableEvent* events[2] = {&a, &b};

    // Both set before the call, nothing during it: the deadline ends the call, nothing is taken.
    a.Set();
    b.Set();
    const auto start = Clock::now();
    EXPECT_EQ(WaitForMultipleEvents(2, events, true, 300), kWaitTimeout);
    EXPECT_GE(msSince(start), 290);
    EXPECT_TRUE(a.IsSignalled());
    EXPECT_TRUE(b.IsSignalled());
    EXPECT_EQ(WaitForMultipleEvents(2, events, true, 0), kWaitTimeout);

    // One Set during the call lets the scan count both, and both are consumed.
    {
        DelayedSet setter(a, milliseconds(100));
        EXPECT_EQ(WaitForMultipleEvents(2, events, true, 10000), 0u);
    }
    EXPECT_FALSE(a.IsSignalled());
    EXPECT_FALSE(b.IsSignalled());
}

TEST(WaitForMultipleEvents, WaitAllCollectsEventsArrivingOneByOne) {
    CWaitableEvent a(true);
    CWaitableEvent manual(false);
    CWaitableEvent c(true);
    CWaitableEvent* events[4] = {&a, &manual, nullptr, &c};
    for (uint32_t timeout : {kWaitInfinite, 10000u}) {
        DelayedSet first(c, milliseconds(50));
        DelayedSet second(manual, milliseconds(150));
        DelayedSet third(a, milliseconds(250));
        const auto start = Clock::now();
        EXPECT_EQ(WaitForMultipleEvents(4, events, true, timeout), 0u) << timeout;
        EXPECT_GE(msSince(start), 240) << timeout;
        EXPECT_LT(msSince(start), 5000) << timeout;
        EXPECT_FALSE(a.IsSignalled());
        EXPECT_FALSE(c.IsSignalled());
        EXPECT_TRUE(manual.IsSignalled());
    }
}

TEST(WaitableEvent, DirectWaitsTakeAutoResetSignalsOnly) {
    CWaitableEvent autoEvent(true);
    CWaitableEvent manual(false);
    const auto soon = [] { return std::chrono::steady_clock::now() + milliseconds(100); };

    EXPECT_FALSE(autoEvent.TimedWait(soon()));
    autoEvent.Set();
    EXPECT_TRUE(autoEvent.TimedWait(soon()));
    EXPECT_FALSE(autoEvent.IsSignalled());
    {
        DelayedSet setter(autoEvent, milliseconds(100));
        autoEvent.Wait();
    }
    EXPECT_FALSE(autoEvent.IsSignalled());

    manual.Set();
    manual.Wait();
    EXPECT_TRUE(manual.TimedWait(soon()));
    EXPECT_TRUE(manual.IsSignalled());
}

TEST(WaitableEvent, ResetIfAutoResetDropsOnlyAnAutoResetSignal) {
    CWaitableEvent autoEvent(true);
    CWaitableEvent manual(false);
    CWaitableEvent* events[] = {&autoEvent, &manual};
    autoEvent.Set();
    manual.Set();
    autoEvent.ResetIfAutoReset();
    manual.ResetIfAutoReset();
    EXPECT_FALSE(autoEvent.IsSignalled());
    EXPECT_TRUE(manual.IsSignalled());
    EXPECT_EQ(WaitForMultipleEvents(2, events, false, 0), 1u);

    // Resetting an event that holds no signal changes nothing for the next one.
    autoEvent.ResetIfAutoReset();
    autoEvent.Set();
    EXPECT_EQ(WaitForMultipleEvents(2, events, false, 0), 0u);
    EXPECT_EQ(WaitForMultipleEvents(1, events, false, 0), kWaitTimeout);
}

// Every setter owns one event and sets it again only once the waiter has taken the previous
// signal, so each Set must produce exactly one wake-up: a signal lost between the waiter's scan
// and its sleep shows as a wait that runs into its timeout, one reported twice as a phantom.
TEST(WaitForMultipleEvents, ManySettersAgainstOneWaiterLoseNoSignal) {
    constexpr int kSetters = 8;
    constexpr int kRounds = 300;
    std::vector<std::unique_ptr<CWaitableEvent>> owned;
    std::vector<CWaitableEvent*> events;
    for (int i = 0; i < kSetters; ++i) {
        owned.push_back(std::make_unique<CWaitableEvent>(true));
        events.push_back(owned.back().get());
    }

    std::mutex mutex;
    std::condition_variable taken;
    std::vector<int> counts(kSetters, 0);
    std::vector<int> sets(kSetters, 0);
    int phantoms = 0;
    bool stop = false;
    const auto deadline = Clock::now() + std::chrono::seconds(30);

    std::vector<std::thread> setters;
    for (int i = 0; i < kSetters; ++i) {
        setters.emplace_back([&, i] {
            for (int round = 0; round < kRounds; ++round) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    if (!taken.wait_until(lock, deadline, [&] { return stop || counts[i] == round; }) || stop) {
                        return;
                    }
                    ++sets[i];
                }
                events[i]->Set();
            }
        });
    }

    int wakeUps = 0;
    uint32_t failure = 0;
    while (wakeUps < kSetters * kRounds && Clock::now() < deadline) {
        const uint32_t index = WaitForMultipleEvents(kSetters, events.data(), false, 5000);
        if (index >= static_cast<uint32_t>(kSetters)) {
            failure = index;
            break;
        }
        ++wakeUps;
        std::lock_guard<std::mutex> lock(mutex);
        // An index reported with no Set left to take is a signal reported twice.
        if (counts[index] == sets[index]) {
            ++phantoms;
        }
        ++counts[index];
        taken.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    taken.notify_all();
    for (auto& setter : setters) {
        setter.join();
    }

    EXPECT_EQ(failure, 0u);
    EXPECT_EQ(phantoms, 0);
    EXPECT_EQ(wakeUps, kSetters * kRounds);
    for (int i = 0; i < kSetters; ++i) {
        EXPECT_EQ(counts[i], kRounds) << i;
        EXPECT_FALSE(events[i]->IsSignalled()) << i;
    }
}

}  // namespace
