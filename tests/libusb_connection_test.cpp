// A connection end to end through libusb: the emulated bus's device (its
// block engine, channels and programs) sits behind a USB node mocked with
// umockdev, and the library above reaches it only through the libusb
// backend. Pipes carry data both ways, a boot image goes over USB and the
// device comes back in normal mode, and an unplugged device is found again
// by its hardware ID.
#include <gtest/gtest.h>

#if defined(ZORBEL_HAVE_LIBUSB) && defined(ZORBEL_HAVE_UMOCKDEV)

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "usb/host.h"
#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/testing/emulated_gadget.h"
#include "usb/libusb/testing/umockdev_bus.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;
using zorbel::testing::EmulatedGadget;
using zorbel::testing::UmockdevBus;

// Claims are system-wide and keyed by the device ID: IDs carry this
// process's number so test programs running side by side never meet.
std::string device_id(char tag) {
    return tag + std::to_string(1000000 + ::getpid() % 1000000).substr(1);
}

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }
ChannelInput& in_of(XPipe* pipe) { return dynamic_cast<ChannelInput&>(pipe->get_input()); }

bool send(XPipe* pipe, const std::vector<unsigned char>& data) {
    ChannelOutput& out = out_of(pipe);
    const long n = static_cast<long>(data.size());
    return out.write(data.data(), n) == n && out.flush();
}

// Reads until `n` bytes came, the link ended or `limit` passed.
std::vector<unsigned char> receive(XPipe* pipe, size_t n,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::vector<unsigned char> got(n);
    size_t have = 0;
    const Clock::time_point deadline = Clock::now() + limit;
    while (have < n && Clock::now() < deadline) {
        const long r = in_of(pipe).read(got.data() + have, static_cast<long>(n - have));
        if (r < 0) break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}

char pipe_name[] = "data";

class LibusbConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UmockdevBus::preload_active()) GTEST_SKIP() << "umockdev preload not in force";
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(10);
        emulated_bus = std::make_unique<zorbel::EmulatedBus>();
        emulated = zorbel::host::current_backend();  // the emulated bus, behind USB
        root = emulated_bus->add_controller(16);
        usb = std::make_unique<UmockdevBus>();
        usb_root = usb->add_root_hub(1, 4);
        usb_hub = usb->add_hub(usb_root, 4, 4);
        libusb = std::make_shared<zorbel::host::LibusbBackend>();
        zorbel::host::push_backend(libusb);  // what the library sees
    }

    void TearDown() override {
        if (libusb) zorbel::host::remove_backend(libusb.get());
        libusb.reset();
        usb.reset();
        emulated_bus.reset();
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    // A device of the emulated bus, and its twin on the USB bus.
    zorbel::EmulatedDevice add_device(const std::string& usb_parent, int port, char tag,
                                      bool boot_mode = false) {
        zorbel::EmulatedDeviceSettings settings;
        settings.boot_mode = boot_mode;
        settings.id = device_id(tag);
        settings.hardware_id = "ZBUSB000000" + std::string(1, tag);
        // The emulated bus's own topology is not what the host sees: each
        // device just takes the next port there.
        zorbel::EmulatedDevice dev = emulated_bus->add_device(root, ++emulated_ports, settings);
        attach(dev, usb_parent, port);
        return dev;
    }

    void attach(zorbel::EmulatedDevice dev, const std::string& usb_parent, int port) {
        usb->add_device(usb_parent, port, ZORBEL_USB_VENDOR_ID,
                        dev.boot_mode() ? ZORBEL_USB_PRODUCT_BOOT : ZORBEL_USB_PRODUCT_NORMAL,
                        gadget_for(dev));
    }

    std::shared_ptr<EmulatedGadget> gadget_for(zorbel::EmulatedDevice dev) {
        auto backend = emulated;
        const int kind = dev.boot_mode() ? DEVICE_KIND_BOOT : DEVICE_KIND_NORMAL;
        auto open = [backend, kind, dev] {
            return zorbel::testing::open_emulated(backend, kind, dev.hardware_id());
        };
        auto booted = [backend, dev]() -> std::shared_ptr<zorbel::testing::Gadget> {
            return std::make_shared<EmulatedGadget>([backend, dev] {
                dev.wait_normal_mode(5000);
                return zorbel::testing::open_emulated(backend, DEVICE_KIND_NORMAL,
                                                      dev.hardware_id());
            });
        };
        return std::make_shared<EmulatedGadget>(open, booted);
    }

    std::unique_ptr<zorbel::EmulatedBus> emulated_bus;
    std::shared_ptr<zorbel::host::Backend> emulated;
    int root = -1;
    int emulated_ports = 0;
    std::unique_ptr<UmockdevBus> usb;
    std::string usb_root, usb_hub;
    std::shared_ptr<zorbel::host::LibusbBackend> libusb;
};

TEST_F(LibusbConnectionTest, PipesCarryDataBothWaysAtOnce) {
    zorbel::EmulatedDevice dev = add_device(usb_hub, 2, 'A');
    constexpr int echo_pipes = 2;
    constexpr size_t echo_bytes = 24 * 1024;
    constexpr size_t stream_bytes = 32 * 1024;
    auto tally = std::make_shared<zorbel::SinkTally>();
    for (int p = 1; p <= echo_pipes; ++p) dev.bind(p, zorbel::echo_program());
    dev.bind(3, zorbel::source_program(stream_bytes));
    dev.bind(4, zorbel::sink_program(tally));

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipeFactory* factory = c.get_pipe_factory();
    std::vector<XPipe*> pipes;
    for (unsigned long p = 1; p <= 4; ++p) {
        pipes.push_back(factory->new_pipe(pipe_name, p, 0));
        ASSERT_NE(pipes.back(), nullptr);
        in_of(pipes.back()).set_timeout(20000);
        out_of(pipes.back()).set_timeout(20000);
    }

    std::vector<std::thread> threads;
    std::vector<std::vector<unsigned char>> echoed(echo_pipes);
    std::atomic<int> failed_sends{0};
    for (int i = 0; i < echo_pipes; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<unsigned char> data = pattern(echo_bytes, i);
            for (size_t at = 0; at < data.size(); at += 1000) {
                const size_t n = std::min<size_t>(1000, data.size() - at);
                if (!send(pipes[i], std::vector<unsigned char>(data.begin() + at, data.begin() + at + n)))
                    ++failed_sends;
            }
        });
        threads.emplace_back([&, i] { echoed[i] = receive(pipes[i], echo_bytes); });
    }
    std::vector<unsigned char> sourced;
    threads.emplace_back([&] { sourced = receive(pipes[2], stream_bytes); });
    std::vector<unsigned char> sunk = pattern(stream_bytes, 99);
    threads.emplace_back([&] {
        if (!send(pipes[3], sunk)) ++failed_sends;
    });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failed_sends.load(), 0);
    for (int i = 0; i < echo_pipes; ++i) EXPECT_EQ(echoed[i], pattern(echo_bytes, i)) << "pipe " << i + 1;
    ASSERT_EQ(sourced.size(), stream_bytes);
    for (size_t k = 0; k < stream_bytes; ++k)
        ASSERT_EQ(sourced[k], zorbel::source_pattern(k)) << "byte " << k;
    ASSERT_TRUE(tally->wait_for(stream_bytes, 20000));
    CRC32 crc;
    crc.update(sunk.data(), sunk.size());
    EXPECT_EQ(tally->crc32(), static_cast<std::uint32_t>(crc.get()));

    for (XPipe* p : pipes) EXPECT_TRUE(p->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(LibusbConnectionTest, BootOverUsbThenConnect) {
    zorbel::EmulatedDevice dev = add_device(usb_root, 1, 'A', true);
    dev.bind(1, zorbel::echo_program());
    std::vector<unsigned char> bad{1, 2, 3};
    EXPECT_EQ(Boot_Zorbel(0, bad.data(), static_cast<int>(bad.size())), 1);
    const char payload[] = "a program for the device";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    ASSERT_EQ(Boot_Zorbel(0, image.data(), static_cast<int>(image.size())), 0);
    usb->settle();
    // The device leaves its boot loader and enumerates again in normal mode.
    for (int i = 0; i < 400 && Get_Zorbel_State(0) != 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(Get_Zorbel_State(0), 2);
    char hardware_id[13] = {};
    ASSERT_TRUE(Get_Zorbel_HardwareID(0, hardware_id));
    EXPECT_STREQ(hardware_id, "ZBUSB000000A");

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(echo, nullptr);
    in_of(echo).set_timeout(20000);
    const std::vector<unsigned char> data = pattern(5000, 3);
    ASSERT_TRUE(send(echo, data));
    EXPECT_EQ(receive(echo, data.size()), data);
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(LibusbConnectionTest, UnpluggedDeviceIsFoundAgainByHardwareId) {
    zorbel::EmulatedDevice dev = add_device(usb_hub, 1, 'A');
    dev.bind(1, zorbel::echo_program());
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(echo, nullptr);
    // Short input time-outs, read again: a failed fetch asks again soon, so
    // the new session's first block is asked for promptly.
    in_of(echo).set_timeout(200);
    out_of(echo).set_timeout(20000);
    const std::vector<unsigned char> before = pattern(3000, 1);
    ASSERT_TRUE(send(echo, before));
    EXPECT_EQ(receive(echo, before.size()), before);

    // Out of its port while the reader waits; back at another port.
    usb->unplug("1-4.1");
    dev.unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(dev.plug());
    attach(dev, usb_hub, 3);

    const std::vector<unsigned char> after = pattern(3000, 2);
    bool echoed = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!echoed && Clock::now() < deadline && !c.get_block_driver()->is_finished()) {
        if (!send(echo, after)) continue;
        echoed = receive(echo, after.size(), std::chrono::seconds(2)) == after;
    }
    EXPECT_TRUE(echoed);
    EXPECT_FALSE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(LibusbConnectionTest, DeviceThatStaysAwayEndsTheConnection) {
    zorbel::EmulatedDevice dev = add_device(usb_hub, 1, 'A');
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    usb->unplug("1-4.1");
    dev.unplug();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!c.get_block_driver()->is_finished() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(c.stop());
}

}  // namespace

#else

TEST(LibusbConnectionTest, NeedsLibusbAndUmockdev) {
    GTEST_SKIP() << "built without libusb-1.0 or umockdev";
}

#endif
