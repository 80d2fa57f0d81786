// The shutdown switch stays on for the life of the process once thrown, so
// these checks run in a program of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "zorbel/support.h"

namespace {
long ms_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}
}  // namespace

TEST(Shutdown, FinishEndsEverySlicedWait) {
    Flag never;
    bool result = true;
    std::chrono::steady_clock::time_point finished_at{}, returned_at{};
    std::thread waiter([&] {
        result = never.wait_set(60000);
        returned_at = std::chrono::steady_clock::now();
    });
    // Let the waiter enter its first slice, so the switch is seen between slices.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(Synchro::finish());
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_LT(ms_between(finished_at, returned_at), 2000);  // within one slice, generously

    // From now on every sliced wait fails at once, also on a set flag, while
    // the plain system wait still sees the flag.
    EXPECT_TRUE(Synchro::is_finished());
    Flag set;
    set.set(true);
    EXPECT_FALSE(set.wait_set(100));
    EXPECT_FALSE(set.wait_set(0x7FFFFFFF));
    EXPECT_TRUE(set.sys_wait_set(100));
    EXPECT_TRUE(Synchro::finish());  // stays on
    EXPECT_TRUE(Synchro::is_finished());
}
