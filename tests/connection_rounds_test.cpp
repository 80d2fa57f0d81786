// Rounds of start, stream both ways, stop on one connection whose pipes live
// through every round, while other threads make and release pipes, one of
// them inside the critical section as clients may. Every round is bounded, so
// a deadlock fails the test instead of holding CI; run under the sanitizer
// builds, a race or a use-after-free in the stop and start paths shows up.
//
// What must hold: the device's source stream arrives once and in order across
// every stop and start (the device keeps its channels, and so does the host),
// every echo round trip is exact, and no pipe number is ever held twice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/threads.h"
#include "fixtures/watchdog.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

char pipe_name[] = "rounds";

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }
ChannelInput& in_of(XPipe* pipe) { return dynamic_cast<ChannelInput&>(pipe->get_input()); }

long read_all(ChannelInput& in, unsigned char* buf, long n) {
    long have = 0;
    while (have < n) {
        const long r = in.read(buf + have, n - have);
        if (r <= 0) break;
        have += r;
    }
    return have;
}

// Makes and releases pipes with numbers first..first+span-1 until `stop`,
// optionally inside the critical section; counts the pipes made. A pause
// between pipes, as a client has: a thread that held the process-wide
// critical section without a break would starve every reader in the process
// (they only ever try to take it), and each pipe released sends the device
// two commands, which a loop without a break would pile up on the link
// faster than the device takes them.
void churn(XPipeFactory* factory, unsigned long first, unsigned long span, bool inside_critical,
           const std::atomic<bool>& stop, std::atomic<long>& made) {
    for (unsigned long k = 0; !stop.load(); ++k) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        const unsigned long num = first + k % span;
        if (inside_critical) {
            Critical critical;
            if (XPipe* p = factory->new_pipe(pipe_name, num, 0)) {
                made.fetch_add(1);
                p->release();
            }
        } else if (XPipe* p = factory->new_pipe(pipe_name, num, 0)) {
            made.fetch_add(1);
            std::this_thread::yield();
            p->release();
        }
    }
}

TEST(ConnectionRounds, StartStreamStopWhilePipesComeAndGo) {
    zorbel::testing::ThreadWatch threads;
    USBSeqDriver::open_retry_pause.store(2);
    {
        zorbel::EmulatedBus bus;
        bus.add_demo();  // device 1: echo on 1, source on 3
        ChanIOControl c;
        XPipeFactory* factory = c.get_pipe_factory();
        XPipe* echo = factory->new_pipe(pipe_name, 1, 0);
        XPipe* source = factory->new_pipe(pipe_name, 3, 0);
        ASSERT_TRUE(echo && source);

        std::atomic<bool> stop{false};
        std::atomic<long> made_outside{0}, made_inside{0};
        // Two threads share numbers 20..27, so they also race for the same
        // number; a third works inside the critical section on 30..33.
        std::thread churn_a(churn, factory, 20, 8, false, std::cref(stop), std::ref(made_outside));
        std::thread churn_b(churn, factory, 20, 8, false, std::cref(stop), std::ref(made_outside));
        std::thread churn_c(churn, factory, 30, 4, true, std::cref(stop), std::ref(made_inside));

        std::uint64_t source_offset = 0;
        std::vector<unsigned char> sent(1500), back(1500), streamed(1024);
        for (int round = 0; round < 30; ++round) {
            zorbel::testing::Watchdog watchdog(std::chrono::seconds(60), "round " + std::to_string(round));
            ASSERT_TRUE(c.start(1)) << "round " << round;
            for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + round);
            ASSERT_EQ(out_of(echo).write(sent.data(), static_cast<long>(sent.size())),
                      static_cast<long>(sent.size()));
            ASSERT_TRUE(out_of(echo).flush()) << "round " << round;
            ASSERT_EQ(read_all(in_of(echo), back.data(), static_cast<long>(back.size())),
                      static_cast<long>(back.size()))
                << "round " << round;
            ASSERT_EQ(back, sent) << "round " << round;
            ASSERT_EQ(read_all(in_of(source), streamed.data(), static_cast<long>(streamed.size())),
                      static_cast<long>(streamed.size()))
                << "round " << round;
            for (std::size_t i = 0; i < streamed.size(); ++i)
                ASSERT_EQ(streamed[i], zorbel::source_pattern(source_offset + i))
                    << "round " << round << ", source byte " << source_offset + i;
            source_offset += streamed.size();
            ASSERT_TRUE(c.stop());
        }
        stop = true;
        churn_a.join();
        churn_b.join();
        churn_c.join();
        EXPECT_GT(made_outside.load(), 0);
        EXPECT_GT(made_inside.load(), 0);
        EXPECT_TRUE(echo->release());
        EXPECT_TRUE(source->release());
        EXPECT_EQ(factory->get_pipes_total(), 0);
    }
    USBSeqDriver::open_retry_pause.store(100);
    for (const std::string& tid : threads.survivors())
        ADD_FAILURE() << "thread " << tid << " outlived its connection or bus";
}

}  // namespace
