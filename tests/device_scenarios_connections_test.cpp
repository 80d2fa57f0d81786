// Device scenarios: connections carrying data, a device unplugged and back,
// restarted or staying away, and stopping under a waiting client
// (fixtures/device_scenarios.h), on every backend.
#include "fixtures/device_scenarios.h"
#include "fixtures/log_capture.h"
#include "fixtures/watchdog.h"

namespace {

using namespace zorbel::testing::scenarios;  // the suite's own helpers

// --- connections ------------------------------------------------------------

TEST_P(DeviceScenarios, PipesCarryDataBothWaysAtOnce) {
    zorbel::EmulatedDevice dev = rig_->add_device('A');
    ASSERT_TRUE(dev.valid());
    constexpr int kEchoPipes = 3;
    constexpr size_t kEchoBytes = 48 * 1024;
    constexpr size_t kStreamBytes = 64 * 1024;
    auto tally = std::make_shared<zorbel::SinkTally>();
    for (int p = 1; p <= kEchoPipes; ++p) dev.bind(p, zorbel::echo_program());
    dev.bind(4, zorbel::source_program(kStreamBytes));
    dev.bind(5, zorbel::sink_program(tally));

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipeFactory* factory = c.get_pipe_factory();
    std::vector<XPipe*> pipes;
    for (unsigned long p = 1; p <= 5; ++p) {
        pipes.push_back(factory->new_pipe(pipe_name, p, 0));
        ASSERT_NE(pipes.back(), nullptr);
        in_of(pipes.back()).set_timeout(20000);
        out_of(pipes.back()).set_timeout(20000);
    }

    std::vector<std::thread> threads;
    std::vector<std::vector<unsigned char>> echoed(kEchoPipes);
    std::atomic<int> failed_sends{0};
    for (int i = 0; i < kEchoPipes; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<unsigned char> data = pattern(kEchoBytes, i);
            // Pieces that do not line up with blocks.
            for (size_t at = 0; at < data.size(); at += 1000) {
                const size_t n = std::min<size_t>(1000, data.size() - at);
                if (!send(pipes[i], std::vector<unsigned char>(data.begin() + at, data.begin() + at + n)))
                    ++failed_sends;
            }
        });
        threads.emplace_back([&, i] { echoed[i] = receive(pipes[i], kEchoBytes); });
    }
    std::vector<unsigned char> sourced;
    threads.emplace_back([&] { sourced = receive(pipes[3], kStreamBytes); });
    std::vector<unsigned char> sunk = pattern(kStreamBytes, 99);
    threads.emplace_back([&] {
        if (!send(pipes[4], sunk)) ++failed_sends;
    });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failed_sends.load(), 0);
    for (int i = 0; i < kEchoPipes; ++i) EXPECT_EQ(echoed[i], pattern(kEchoBytes, i)) << "pipe " << i + 1;
    ASSERT_EQ(sourced.size(), kStreamBytes);
    for (size_t k = 0; k < kStreamBytes; ++k)
        ASSERT_EQ(sourced[k], zorbel::source_pattern(k)) << "byte " << k;
    ASSERT_TRUE(tally->wait_for(kStreamBytes, 20000));
    CRC32 crc;
    crc.update(sunk.data(), sunk.size());
    EXPECT_EQ(tally->bytes(), kStreamBytes);
    EXPECT_EQ(tally->crc32(), static_cast<std::uint32_t>(crc.get()));

    for (XPipe* p : pipes) EXPECT_TRUE(p->release());
    EXPECT_TRUE(c.stop());
}

// A cable pulled and put back: the device kept its channels, the connection
// reopens it and keeps its block numbers, and every stream goes on where it
// was, every byte once and in order, both ways. (Before, the host numbered
// its channels from 0 again, which a device that kept its state takes as
// stale: every channel stalled.)
TEST_P(DeviceScenarios, UnpluggedAndBackWithinTheWindowTheStreamsGoOn) {
    zorbel::EmulatedDevice dev = rig_->add_device('A');
    ASSERT_TRUE(dev.valid());
    ASSERT_TRUE(rig_->add_device('B').valid());  // the device comes back behind this one: new index
    dev.bind(1, zorbel::echo_program());
    dev.bind(3, zorbel::source_program());
    USBSeqDriver::open_retry_pause.store(10);  // 50 attempts: half a second
    // The log tells what the connection did about the pulled cable.
    zorbel::testing::LogCapture log(zorbel::LogLevel::info);

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    XPipe* source = c.get_pipe_factory()->new_pipe(pipe_name, 3, 0);
    ASSERT_TRUE(echo && source);
    out_of(echo).set_timeout(20000);
    in_of(echo).set_timeout(20000);
    in_of(source).set_timeout(20000);

    // The echo carries a stream while the cable is pulled twice under it.
    const std::vector<unsigned char> data = pattern(48 * 1024, 1);
    auto sending = std::async(std::launch::async, [&] {
        for (size_t pos = 0; pos < data.size(); pos += 4096)
            if (!send(echo, std::vector<unsigned char>(data.begin() + static_cast<long>(pos),
                                                       data.begin() + static_cast<long>(pos + 4096))))
                return false;
        return true;
    });
    auto echoed = std::async(std::launch::async, [&] { return receive(echo, data.size()); });
    std::vector<unsigned char> streamed = receive(source, 4096);
    ASSERT_EQ(streamed.size(), 4096u);
    for (int i = 0; i < 2; ++i) {
        rig_->unplug(dev);
        ASSERT_TRUE(rig_->plug(dev));
        std::vector<unsigned char> more = receive(source, 4096);
        streamed.insert(streamed.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(sending.get());
    EXPECT_EQ(echoed.get(), data);
    ASSERT_EQ(streamed.size(), 3 * 4096u);
    for (size_t k = 0; k < streamed.size(); ++k)
        ASSERT_EQ(streamed[k], zorbel::source_pattern(k)) << "byte " << k;

    EXPECT_FALSE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(source->release());
    EXPECT_TRUE(c.stop());
    EXPECT_EQ(log.count_starting_with("reconnected to "), 2);
}

// A device that restarts tells the host with cmd_reset on its channels; the
// connection reopens it, the pipes start again from block 0 with it, and
// what is sent afterwards arrives once and in order.
TEST_P(DeviceScenarios, ADeviceThatRestartsStartsThePipesAgain) {
    zorbel::EmulatedDevice dev = rig_->add_device('A');
    ASSERT_TRUE(dev.valid());
    dev.bind(1, zorbel::echo_program());
    USBSeqDriver::open_retry_pause.store(10);

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(echo, nullptr);
    out_of(echo).set_timeout(20000);
    // A fetch that meets the restart asks again within 200 ms.
    in_of(echo).set_timeout(200);
    const std::vector<unsigned char> before = pattern(3000, 4);
    ASSERT_TRUE(send(echo, before));
    ASSERT_EQ(receive(echo, before.size()), before);

    ASSERT_TRUE(rig_->reset(dev));
    const std::vector<unsigned char> after = pattern(3000, 5);
    EXPECT_TRUE(send(echo, after));
    EXPECT_EQ(receive(echo, after.size()), after);
    EXPECT_FALSE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(c.stop());
}

// Ended by stop() or by the destructor: either must come back although the
// device is gone.
TEST_P(DeviceScenarios, DeviceThatStaysAwayFailsWaitingClientsPromptly) {
    for (const bool by_destructor : {false, true}) {
        SCOPED_TRACE(by_destructor ? "ended by the destructor" : "ended by stop");
        const char tag = by_destructor ? 'B' : 'A';
        zorbel::EmulatedDevice dev = rig_->add_device(tag);
        ASSERT_TRUE(dev.valid());
        dev.bind(1, zorbel::source_program(512));  // one block, then silence
        auto c = std::make_unique<ChanIOControl>();
        ASSERT_TRUE(c->start(0));
        XPipe* quiet = c->get_pipe_factory()->new_pipe(pipe_name, 1, 0);
        XPipe* unread = c->get_pipe_factory()->new_pipe(pipe_name, 2, 0);  // no program
        ASSERT_TRUE(quiet && unread);
        // No limits of their own: only the end of the link can release them.
        in_of(quiet).set_timeout(0);
        out_of(unread).set_timeout(0);
        ASSERT_EQ(receive(quiet, 512).size(), 512u);

        long read_result = 1;
        bool flushed = true;
        const Clock::time_point start = Clock::now();
        std::thread reader([&] {
            unsigned char b[16];
            read_result = in_of(quiet).read(b, sizeof b);
        });
        std::thread writer([&] { flushed = send(unread, std::vector<unsigned char>(100, 7)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rig_->unplug(dev);
        reader.join();
        writer.join();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
        EXPECT_LE(read_result, 0);
        EXPECT_FALSE(flushed);
        EXPECT_TRUE(c->get_block_driver()->is_finished());
        EXPECT_TRUE(quiet->release());
        EXPECT_TRUE(unread->release());
        if (by_destructor)
            c.reset();
        else
            EXPECT_TRUE(c->stop());
        EXPECT_TRUE(claim_free(id(tag)));
    }
}

// A client that holds the critical section stops its connection while the
// reader is reconnecting (the device back, or gone for good): the reader
// only ever tries the critical section, so the stop, which waits for the
// reader, comes back, and the channels still learn that the link went and
// came back. (Before, the reader waited for the critical section with its
// own lock held, and both waited for ever.)
TEST_P(DeviceScenarios, StopInsideTheCriticalSectionWhileTheReaderReconnects) {
    USBSeqDriver::open_retry_pause.store(10);  // 50 attempts: half a second
    for (const bool comes_back : {true, false}) {
        SCOPED_TRACE(comes_back ? "the device comes back" : "the device stays away");
        const char tag = comes_back ? 'A' : 'B';
        zorbel::EmulatedDevice dev = rig_->add_device(tag);
        ASSERT_TRUE(dev.valid());
        zorbel::testing::LogCapture log(zorbel::LogLevel::info);
        ChanIOControl c;
        ASSERT_TRUE(c.start(0));
        XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);  // no program: silent
        ASSERT_NE(pipe, nullptr);
        zorbel::testing::Watchdog watchdog(std::chrono::seconds(60), "a stop inside the critical section");
        {
            Critical held;
            rig_->unplug(dev);
            if (comes_back) {
                ASSERT_TRUE(rig_->plug(dev));
            }
            // Until the reader has reached the step that wakes the channels.
            const Clock::time_point limit = Clock::now() + std::chrono::seconds(20);
            auto reached = [&] {
                return comes_back ? log.count_starting_with("reconnected to ") > 0
                                  : c.get_block_driver()->is_finished();
            };
            while (!reached() && Clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            EXPECT_TRUE(reached());
            if (!reached())
                for (const auto& m : log.messages()) ADD_FAILURE() << "log: " << m.second;
            EXPECT_TRUE(c.stop());
        }
        EXPECT_TRUE(pipe->release());
        EXPECT_TRUE(claim_free(id(tag)));
        if (!comes_back) continue;
        // Plugged back and free: the next connection carries data.
        dev.bind(1, zorbel::echo_program());
        ChanIOControl again;
        ASSERT_TRUE(again.start(0));  // the only device
        echo_round_trip(again, 2000);
        EXPECT_TRUE(again.stop());
        rig_->unplug(dev);
    }
}

TEST_P(DeviceScenarios, StopReleasesAClientBlockedInARead) {
    ASSERT_TRUE(rig_->add_device('A').valid());  // nothing bound: the read waits for ever
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(pipe, nullptr);
    in_of(pipe).set_timeout(0);
    long result = 1;
    std::thread reader([&] {
        unsigned char b[16];
        result = in_of(pipe).read(b, sizeof b);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.stop());
    reader.join();
    EXPECT_LE(result, 0);
    EXPECT_TRUE(pipe->release());
}

ZORBEL_DEVICE_SCENARIOS_ON_EVERY_BACKEND();

}  // namespace
