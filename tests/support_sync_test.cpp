#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "zorbel/zorbel.h"

namespace {

using steady = std::chrono::steady_clock;

long ms_since(steady::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start).count());
}

// Sets `flag` after `delay_ms` on a thread of its own, joined on destruction.
class LateSetter {
public:
    LateSetter(Flag& flag, int delay_ms)
        : thread_([&flag, delay_ms] {
              std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
              flag.set(true);
          }) {}
    ~LateSetter() { thread_.join(); }

private:
    std::thread thread_;
};

}  // namespace

TEST(Headers, UmbrellaCompiles) { EXPECT_STREQ(dll_ver, "2.9 07/09/2001"); }

TEST(Flag, SetClearAndPoll) {
    Flag f;
    EXPECT_FALSE(f.is_set());
    f.set(true);
    EXPECT_TRUE(f.is_set());
    EXPECT_TRUE(f.is_set());  // manual reset: polling does not consume it
    f.clear();
    EXPECT_FALSE(f.is_set());
    f.set(true);
    f.set(false);
    EXPECT_FALSE(f.is_set());
}

// Time-outs that leave nothing to wait once read as a signed 32-bit number
// fail at once, even on a set flag: 0 stands for 0xFFFFFFFF.
TEST(Flag, SlicedWaitRefusesTimeoutsWithoutRemainingTime) {
    Flag f;
    f.set(true);
    // Where unsigned long is 64 bits wide, larger values count as the largest
    // 32-bit one rather than wrapping to a short wait.
    // (On Windows unsigned long is 32 bits, and 2^32 + 1 is simply 1.)
    std::vector<unsigned long> refused{0ul, 0x80000000ul, 0xFFFFFFFFul, static_cast<unsigned long>(-1)};
    if (sizeof(unsigned long) > 4) refused.push_back(static_cast<unsigned long>(0x100000001ull));
    for (unsigned long ms : refused) {
        SCOPED_TRACE(ms);
        auto start = steady::now();
        EXPECT_FALSE(f.wait_set(ms));
        // At once rather than after weeks; the bound leaves room for a
        // loaded machine (200 ms was not always enough under Wine).
        EXPECT_LT(ms_since(start), 10000);
    }
    EXPECT_TRUE(f.wait_set(0x7FFFFFFF));  // the largest positive time-out waits
    EXPECT_TRUE(f.wait_set(1));
}

TEST(Flag, SystemWaitWithoutLimit) {
    Flag f;
    f.set(true);
    EXPECT_TRUE(f.sys_wait_set(0));
    f.clear();
    {
        LateSetter setter(f, 50);
        EXPECT_TRUE(f.sys_wait_set(0));  // returns only once the flag is set
        EXPECT_TRUE(f.is_set());
    }
    // Limits beyond 32 bits mean no limit too, not an overflowing deadline.
    for (unsigned long ms : {static_cast<unsigned long>(1ull << 40), static_cast<unsigned long>(-1)}) {
        SCOPED_TRACE(ms);
        f.clear();
        LateSetter setter(f, 20);
        EXPECT_TRUE(f.sys_wait_set(ms));
    }
}

// Released by the set, not by its time-out: the time-out is far longer than
// the setter's delay can grow on a loaded machine (with 100 ms the wait could
// end before a descheduled setter ran).
TEST(Flag, SlicedWaitReleasedBySet) {
    Flag f;
    auto start = steady::now();
    {
        LateSetter setter(f, 50);
        EXPECT_TRUE(f.wait_set(60000));
    }
    long took = ms_since(start);
    EXPECT_GE(took, 45);
    EXPECT_LT(took, 30000);
}

// The last slice is not shortened: 1200 ms is waited as three 500-ms slices.
TEST(Flag, SlicedWaitRoundsUpToWholeSlices) {
    Flag f;
    auto start = steady::now();
    EXPECT_FALSE(f.wait_set(1200));
    long took = ms_since(start);
    EXPECT_GE(took, 1490);
    EXPECT_LT(took, 30000);  // only a sanity bound: load stretches any wait
}

TEST(Flag, OneSetReleasesEveryWaiter) {
    Flag f;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (f.wait_set(10000)) ++released;
        });
    f.set(true);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 4);
    EXPECT_TRUE(f.is_set());
}

TEST(Critical, RecursiveOnOneThread) {
    EXPECT_EQ(proc_enter_critical(), 0);
    EXPECT_EQ(proc_enter_critical(), 0);
    {
        Critical nested;  // a third level, left by the destructor
    }
    proc_leave_critical(0);
    // Still held once: another thread cannot take it.
    bool taken = true;
    std::thread([&] {
        taken = protocol_critical.try_lock();
        if (taken) protocol_critical.unlock();
    }).join();
    EXPECT_FALSE(taken);
    proc_leave_critical(0);
    // Entered as often as left: free again.
    std::thread([&] {
        taken = protocol_critical.try_lock();
        if (taken) protocol_critical.unlock();
    }).join();
    EXPECT_TRUE(taken);
}

TEST(MutexCounter, SameNameDoesNotExclude) {
    char name[] = "shared";
    MutexCounter a(name), b(name);
    a.lock();
    a.lock();  // recursive for its owner
    std::atomic<bool> got_b{false};
    std::thread([&] {
        b.lock();  // a different mutex, whatever the name
        got_b = true;
        b.unlock();
    }).join();
    EXPECT_TRUE(got_b.load());
    a.unlock();
    a.unlock();
}

TEST(Clock, ClockSecIsZero) {
    EXPECT_EQ(clock_sec(), 0ul);
    EXPECT_FALSE(Synchro::is_finished());
}
