// The emulated bus's devices as the host sees them: handles re-plugged at a
// chosen port or outliving their bus, and the device programs answering a
// host block engine. What every backend shares (cancel, close and unplug
// under a read) is in device_scenarios_*_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "fixtures/handle_transport.h"
#include "fixtures/watchdog.h"
#include "usb/discovery.h"
#include "zorbel/channel.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::EmulatedBus;
using zorbel::EmulatedDevice;
using zorbel::EmulatedDeviceSettings;
using zorbel::testing::HostEngine;

EmulatedDeviceSettings normal(const char* hardware_id) {
    EmulatedDeviceSettings s;
    s.hardware_id = hardware_id;
    return s;
}

std::shared_ptr<zorbel::host::DeviceHandle> open_normal(int index) {
    return zorbel::open_device(DEVICE_KIND_NORMAL, index);
}

// A host pipe: output channel 2p-1 and input channel 2p. Each blocking step
// of the streams lasts at most `step_ms`; send and receive go on step after
// step for up to 20 s, so a lost block costs one step, not the test.
struct HostPipe {
    HostPipe(BlockDriver& engine, int p, long step_ms = 200) : out(&engine, 2 * p - 1), in(&engine, 2 * p) {
        out.set_timeout(step_ms);
        in.set_timeout(step_ms);
    }
    bool send(const std::vector<unsigned char>& bytes) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (std::size_t at = 0; at < bytes.size(); at += 512) {
            // A block's worth into an empty buffer never flushes by itself.
            long n = static_cast<long>(std::min<std::size_t>(512, bytes.size() - at));
            if (out.write(bytes.data() + at, n) != n) return false;
            while (!out.flush())
                if (out.is_bad() || std::chrono::steady_clock::now() > end) return false;
        }
        return true;
    }
    // Up to `n` bytes; fewer when the stream stays silent for `quiet` steps.
    std::vector<unsigned char> receive(std::size_t n, int quiet = 100) {
        std::vector<unsigned char> got(n);
        std::size_t have = 0;
        for (int silent = 0; have < n && silent < quiet;) {
            long r = in.read(got.data() + have, static_cast<long>(n - have));
            if (r < 0) break;
            silent = r == 0 ? silent + 1 : 0;
            have += static_cast<std::size_t>(r);
        }
        got.resize(have);
        return got;
    }
    ChanOutput out;
    ChanInput in;
};

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + seed);
    return v;
}

TEST(EmulatedHandle, PluggedBackBehindTheOthers) {
    EmulatedBus bus;
    int root = bus.add_controller();
    EmulatedDevice a = bus.add_device(root, 1, normal("ZB00000000AA"));
    EmulatedDevice b = bus.add_device(root, 2, normal("ZB00000000BB"));
    char hw_a[] = "ZB00000000AA";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(hw_a), 0);
    a.unplug();
    EXPECT_FALSE(a.plugged());
    EXPECT_EQ(GetOpenIndexForDeviceByHID(hw_a), -1);
    EXPECT_FALSE(a.plug(root, 2));  // taken
    ASSERT_TRUE(a.plug(root, 3));   // another port
    EXPECT_EQ(GetOpenIndexForDeviceByHID(hw_a), 1);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
}

TEST(EmulatedHandle, BusDestroyedUnderAReadLeavesAFailingHandle) {
    std::shared_ptr<zorbel::host::DeviceHandle> handle;
    std::future<long> read;
    unsigned char buf[16];
    {
        EmulatedBus bus;
        // No programs: nothing comes from the device to end the read early.
        bus.add_device(bus.add_controller(), 1, normal("ZB0000000001"));
        handle = open_normal(0);
        ASSERT_TRUE(handle);
        read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    }
    EXPECT_EQ(read.get(), -1);
    EXPECT_EQ(handle->write(buf, 4), -1);
    EXPECT_FALSE(open_normal(0));
}

// --- device programs ----------------------------------------------------------

// A cancel that comes while no read is under way fails that handle's next
// read, whatever other handles on the device do meanwhile. (Before, the
// device kept one such cancel: a second handle's replaced the first's, whose
// next read then waited for data.)
TEST(EmulatedHandle, ACancelBeforeAReadIsKeptForEachHandle) {
    zorbel::testing::Watchdog watchdog(std::chrono::seconds(30), "reads after cancels on two handles");
    EmulatedBus bus;
    bus.add_demo();
    auto first = open_normal(0);
    auto second = open_normal(0);
    ASSERT_TRUE(first && second);
    first->cancel_read();
    second->cancel_read();
    unsigned char buf[8];
    EXPECT_EQ(first->read(buf, sizeof buf), -1);
    EXPECT_EQ(second->read(buf, sizeof buf), -1);
}

TEST(DevicePrograms, EchoSinkAndSourceOfTheDemo) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    HostEngine host(open_normal(0));

    HostPipe echo(host.engine, 1);
    std::vector<unsigned char> sent = pattern(1500, 3);  // three blocks
    ASSERT_TRUE(echo.send(sent));
    EXPECT_EQ(echo.receive(sent.size()), sent);

    HostPipe sink(host.engine, 2);
    std::vector<unsigned char> load = pattern(5000, 9);
    ASSERT_TRUE(sink.send(load));
    ASSERT_TRUE(demo.sink->wait_for(load.size(), 5000));
    CRC32 crc;
    crc.update(load.data(), static_cast<unsigned long>(load.size()));
    EXPECT_EQ(demo.sink->bytes(), load.size());
    EXPECT_EQ(demo.sink->crc32(), static_cast<std::uint32_t>(crc.get()));

    HostPipe source(host.engine, 3);
    std::vector<unsigned char> got = source.receive(2000);
    ASSERT_EQ(got.size(), 2000u);
    for (std::size_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], zorbel::source_pattern(k)) << k;
}

TEST(DevicePrograms, APipeDeletedByTheHostIsServedAfreshNextTime) {
    EmulatedBus bus;
    EmulatedDevice d = bus.add_device(bus.add_controller(), 1, normal("ZB0000000001"));
    d.bind(1, zorbel::echo_program());
    d.bind(3, zorbel::source_program(600));
    HostEngine host(open_normal(0));
    for (int round = 0; round < 3; ++round) {
        HostPipe echo(host.engine, 1);
        std::vector<unsigned char> sent = pattern(700, static_cast<unsigned>(round));
        ASSERT_TRUE(echo.send(sent)) << round;
        EXPECT_EQ(echo.receive(sent.size()), sent) << round;

        // The source starts from offset 0 on every new pipe and stops at 600.
        HostPipe source(host.engine, 3, 100);
        std::vector<unsigned char> got = source.receive(600);
        ASSERT_EQ(got.size(), 600u) << round;
        for (std::size_t k = 0; k < got.size(); ++k)
            ASSERT_EQ(got[k], zorbel::source_pattern(k)) << round << " " << k;
        unsigned char extra;
        EXPECT_EQ(source.in.read(&extra, 1), 0) << round;
    }
}

TEST(DevicePrograms, UserProgramAndFaultyLink) {
    EmulatedBus bus;
    EmulatedDeviceSettings s = normal("ZB0000000001");
    // Small chunks, damaged bytes and lost transfers both ways: the block
    // protocol's retries must carry every byte through unchanged.
    s.to_device.min_chunk = 1;
    s.to_device.max_chunk = 97;
    s.to_device.corrupt_byte = 0.0005;
    s.to_device.drop_transfer = 0.02;
    s.to_host = s.to_device;
    s.to_host.seed = 7;
    EmulatedDevice d = bus.add_device(bus.add_controller(), 1, s);
    // Sends back each piece with its bytes inverted.
    d.bind(5, [](zorbel::DevicePipe& pipe) {
        unsigned char buf[512];
        long n;
        while ((n = pipe.read_some(buf, sizeof buf)) >= 0) {
            for (long i = 0; i < n; ++i) buf[i] = static_cast<unsigned char>(~buf[i]);
            if (n > 0 && !pipe.write_all(buf, n)) return;
        }
    });
    HostEngine host(open_normal(0));
    HostPipe pipe(host.engine, 5);
    std::vector<unsigned char> sent = pattern(4000, 1);
    // The program answers each block before it reads the next, so the host
    // reads while it writes.
    auto sending = std::async(std::launch::async, [&] { return pipe.send(sent); });
    std::vector<unsigned char> got = pipe.receive(sent.size());
    EXPECT_TRUE(sending.get());
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(got[i], static_cast<unsigned char>(~sent[i])) << i;
    EXPECT_GT(d.to_device_stats().chunks, d.to_device_stats().transfers);

    // Settings changed on the running device apply to the next transfer.
    zorbel::LaneSettings lossy;
    lossy.drop_transfer = 1.0;
    d.set_link(lossy, zorbel::LaneSettings());
    std::uint64_t dropped = d.to_device_stats().dropped_transfers;
    auto raw = open_normal(0);
    ASSERT_TRUE(raw);
    unsigned char junk[3] = {1, 2, 3};
    EXPECT_EQ(raw->write(junk, sizeof junk), 3);
    EXPECT_EQ(d.to_device_stats().dropped_transfers, dropped + 1);
}

TEST(DevicePrograms, UnplugEndsTheHostsReads) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    HostEngine host(open_normal(0));
    HostPipe source(host.engine, 3);
    ASSERT_EQ(source.receive(100).size(), 100u);
    demo.normal.unplug();
    // The host's reader saw its read fail.
    for (int i = 0; i < 500 && !host.transport.read_failed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(host.transport.read_failed());
    EXPECT_TRUE(host.engine.is_finished());
    EXPECT_EQ(source.in.read_byte(), -1);
}

TEST(DevicePrograms, DeviceFunctionsWhileTrafficRuns) {
    EmulatedBus bus;
    EmulatedBus::Demo demo = bus.add_demo();
    HostEngine host(open_normal(0));
    std::atomic<bool> done{false};
    std::thread traffic([&] {
        HostPipe echo(host.engine, 1);
        for (unsigned round = 0; round < 20; ++round) {
            std::vector<unsigned char> sent = pattern(900, round);
            ASSERT_TRUE(echo.send(sent));
            ASSERT_EQ(echo.receive(sent.size()), sent);
        }
        done.store(true);
    });
    std::vector<std::thread> askers;
    for (int t = 0; t < 2; ++t) {
        askers.emplace_back([&] {
            while (!done.load()) {
                EXPECT_EQ(Get_Zorbel_State(0), 1);
                EXPECT_EQ(Get_Zorbel_State(1), 2);
                char hwid[13];
                EXPECT_TRUE(Get_Zorbel_HardwareID(1, hwid));
                EXPECT_STREQ(hwid, "ZB0000000002");
                char wanted[] = "ZB0000000002";
                EXPECT_EQ(GetOpenIndexForDeviceByHID(wanted), 1);
            }
        });
    }
    traffic.join();
    for (auto& t : askers) t.join();
}

}  // namespace
