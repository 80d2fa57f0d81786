// The device-level scenarios, written once and run against each backend that
// reaches devices (see fixtures/device_rig.h): the emulated bus directly, and
// libusb over a USB bus mocked with umockdev with the emulated bus's devices
// behind its nodes. The device functions seeing the bus, a boot and the
// device's return in normal mode, pipes carrying data both ways, a device
// unplugged and plugged back or staying away, stopping a connection under a
// waiting client, a connection's state flags and device claim, and a handle's
// read ended by a cancel, a close or an unplug.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/device_claim.h"
#include "fixtures/device_rig.h"
#include "fixtures/handle_transport.h"
#include "fixtures/threads.h"
#include "usb/discovery.h"
#include "usb/hub_walk.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;
using zorbel::EmulatedDevice;
using zorbel::testing::DeviceRig;
using zorbel::testing::RigMaker;

bool claim_free(const std::string& id) {
    zorbel::DeviceClaim::Outcome outcome;
    return zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id(id.c_str()), outcome) != nullptr;
}

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }
ChannelInput& in_of(XPipe* pipe) { return dynamic_cast<ChannelInput&>(pipe->get_input()); }

bool send(ChannelOutput& out, const std::vector<unsigned char>& data) {
    const long n = static_cast<long>(data.size());
    return out.write(data.data(), n) == n && out.flush();
}
bool send(XPipe* pipe, const std::vector<unsigned char>& data) { return send(out_of(pipe), data); }

// Reads until `n` bytes came, the link ended (-1) or `limit` passed; a read
// that gives up on its own time-out is tried again.
std::vector<unsigned char> receive(ChannelInput& in, size_t n,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::vector<unsigned char> got(n);
    size_t have = 0;
    const Clock::time_point deadline = Clock::now() + limit;
    while (have < n && Clock::now() < deadline) {
        const long r = in.read(got.data() + have, static_cast<long>(n - have));
        if (r < 0) break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}
std::vector<unsigned char> receive(XPipe* pipe, size_t n,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return receive(in_of(pipe), n, limit);
}

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}

std::shared_ptr<zorbel::host::DeviceHandle> open_normal(int index) {
    return zorbel::open_device(DEVICE_KIND_NORMAL, index, true);
}

std::string hardware_id_of(zorbel::host::DeviceHandle& h) {
    unsigned char r[zorbel::host::info_record_size];
    if (!h.get_info(r)) return "";
    std::string id;
    for (int i = 1; i <= 12; ++i) id += static_cast<char>(r[2 * i]);
    return id;
}

char pipe_name[] = "data";

// Sends `n` bytes through the echo program on pipe 1 of a started connection,
// checks what comes back, and releases the pipe.
void echo_round_trip(ChanIOControl& c, size_t n) {
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(echo, nullptr);
    in_of(echo).set_timeout(20000);
    const std::vector<unsigned char> data = pattern(n, 3);
    ASSERT_TRUE(send(echo, data));
    EXPECT_EQ(receive(echo, data.size()), data);
    EXPECT_TRUE(echo->release());
}

// A backend under test: its name for failure messages, and its rig.
struct Backend {
    const char* name;
    RigMaker make;
};
void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

class DeviceScenarios : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        threads = std::make_unique<zorbel::testing::ThreadWatch>();
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(2);
        std::string unavailable;
        rig = GetParam().make(unavailable);
        if (!rig) GTEST_SKIP() << unavailable;
    }

    void TearDown() override {
        // GLib (under umockdev) starts a thread on first use and keeps it
        // for the life of the process, and a thread of the mocked bus may end
        // a moment after the bus has gone: from the second rig of a kind on,
        // every thread that was not there before must end, and soon.
        static std::set<RigMaker> made_before;
        const bool check_threads = rig && !made_before.insert(GetParam().make).second;
        rig.reset();
        if (check_threads)
            for (const std::string& tid : threads->survivors())
                ADD_FAILURE() << "thread " << tid << " outlived its connection or bus";
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    static std::string id(char tag) { return DeviceRig::device_id(tag); }
    static std::string hw(char tag) { return DeviceRig::hardware_id(tag); }

    std::unique_ptr<zorbel::testing::ThreadWatch> threads;
    std::unique_ptr<DeviceRig> rig;
};

// --- the device functions ---------------------------------------------------

TEST_P(DeviceScenarios, NothingAttached) {
    EXPECT_EQ(Get_Zorbel_Count(), 0);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 0);
    for (int n : {-1, 0, 1, 3, 4, 100}) EXPECT_EQ(Get_Zorbel_State(n), -1) << n;
    int type = 7;
    char id[8] = "keep";
    char hwid[13] = "keep";
    EXPECT_FALSE(Get_Zorbel_Info(0, &type, id, hwid));
    EXPECT_EQ(type, 7);
    EXPECT_STREQ(id, "keep");
    EXPECT_FALSE(Get_Zorbel_HardwareID(0, hwid));
    EXPECT_FALSE(Get_Zorbel_ID(0, id));
    char wanted[] = "ZB0000000001";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(wanted), -1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(nullptr), -1);
    EXPECT_FALSE(zorbel::open_device(DEVICE_KIND_NORMAL, 0, true));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_BOOT, 0));
}

TEST_P(DeviceScenarios, OneBootAndOneNormalDevice) {
    EmulatedDevice boot = rig->add_device('A', true);
    ASSERT_TRUE(rig->add_device('B').valid() && boot.valid());
    // The maker's vendor with another product: counted nowhere.
    ASSERT_TRUE(rig->add_foreign_device(ZORBEL_USB_VENDOR_ID, 0x0042));
    EXPECT_EQ(Get_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Zorbel_State(0), 1);
    EXPECT_EQ(Get_Zorbel_State(1), 2);
    EXPECT_EQ(Get_Zorbel_State(2), -1);

    int type = 5;
    char id[8];
    char hwid[13];
    ASSERT_TRUE(Get_Zorbel_Info(1, &type, id, hwid));
    EXPECT_EQ(type, 1);
    EXPECT_EQ(std::string(id), this->id('B'));
    EXPECT_EQ(std::string(hwid), hw('B'));

    // The boot-mode device answers no information request.
    type = 5;
    std::strcpy(id, "keep");
    EXPECT_FALSE(Get_Zorbel_Info(0, &type, id, hwid));
    EXPECT_EQ(type, 5);
    EXPECT_STREQ(id, "keep");

    char by_hw[13];
    ASSERT_TRUE(Get_Zorbel_HardwareID(1, by_hw));
    EXPECT_EQ(std::string(by_hw), hw('B'));
    char by_id[8];
    ASSERT_TRUE(Get_Zorbel_ID(1, by_id));
    EXPECT_EQ(std::string(by_id), this->id('B'));

    std::string present = hw('B');
    std::string booting = hw('A');
    std::string prefix = present.substr(0, 11);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&present[0]), 1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&booting[0]), -1);
    EXPECT_EQ(GetOpenIndexForDeviceByHID(&prefix[0]), -1);

    // Any non-zero kind is the boot class.
    EXPECT_TRUE(zorbel::device_present(DEVICE_KIND_BOOT, 0));
    EXPECT_TRUE(zorbel::device_present(7, 0));
    EXPECT_TRUE(zorbel::device_present(-1, 0));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_BOOT, 1));
    EXPECT_FALSE(zorbel::device_present(DEVICE_KIND_NORMAL, -1));
}

TEST_P(DeviceScenarios, InformationRecordDecoding) {
    struct Case {
        const char* name;
        std::u16string units;
        int type;  // expected; the caller sets 42
        const char* hardware_id;
        const char* id;
    };
    const std::u16string full = u"CABCDEFGHIJKLxx1234567";
    std::u16string wide =
        u"TABC" + std::u16string(1, u'\u00E9') + u"DEFGHIJKxx" + std::u16string(1, u'\u4E2D') + u"234567";
    const Case cases[] = {
        {"C gives 0, unused units ignored", full, 0, "ABCDEFGHIJKL", "1234567"},
        {"other letter keeps the caller's", u"XABCDEFGHIJKLxx1234567", 42, "ABCDEFGHIJKL", "1234567"},
        {"text ending early pads with zeros", u"TAB", 1, "AB", ""},
        {"zero in the middle ends everything",
         // NOLINTNEXTLINE(bugprone-string-literal-with-embedded-nul): the zeros are the case
         u"TABCDEFGHIJKL\0\0"
         u"1234567",
         1, "ABCDEFGHIJKL", ""},
        {"units above 0x7F become ?", wide, 1, "ABC?DEFGHIJK", "?234567"},
        {"empty record", u"", 42, "", ""},
    };
    EmulatedDevice d = rig->add_device('A');
    ASSERT_TRUE(d.valid());
    for (const Case& c : cases) {
        d.set_info_record(c.units);  // read afresh by every request
        int type = 42;
        char id[8];
        char hwid[13];
        std::memset(id, 'z', sizeof id);
        std::memset(hwid, 'z', sizeof hwid);
        ASSERT_TRUE(Get_Zorbel_Info(0, &type, id, hwid)) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_STREQ(hwid, c.hardware_id) << c.name;
        EXPECT_STREQ(id, c.id) << c.name;
        // Padded with zeros to the full width, not just terminated.
        for (std::size_t i = std::strlen(c.hardware_id); i < sizeof hwid; ++i)
            EXPECT_EQ(hwid[i], 0) << c.name;
        for (std::size_t i = std::strlen(c.id); i < sizeof id; ++i) EXPECT_EQ(id[i], 0) << c.name;
    }
}

// --- connections ------------------------------------------------------------

TEST_P(DeviceScenarios, DeviceNumbersCountBootModeDevicesFirst) {
    // Device number 1 is the normal-mode device behind a boot-mode one: the
    // connection reads its ID and opens that same device.
    ASSERT_TRUE(rig->add_device('A', true).valid());
    ASSERT_TRUE(rig->add_device('B').valid());
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));  // boot mode: no ID, no connection
    ASSERT_TRUE(c.start(1));
    EXPECT_FALSE(claim_free(id('B')));
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(pipe->release());
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, BootedDeviceComesBackInNormalModeAndConnects) {
    // The normal-mode device first: the booted one comes back behind it.
    EmulatedDevice other = rig->add_device('N');
    EmulatedDevice dev = rig->add_device('A', true);
    ASSERT_TRUE(other.valid() && dev.valid());
    dev.bind(1, zorbel::echo_program());  // runs once booted
    std::vector<unsigned char> bad{1, 2, 3};
    EXPECT_EQ(Boot_Zorbel(0, bad.data(), static_cast<int>(bad.size())), 1);
    EXPECT_EQ(dev.boots(), 0u);
    const char payload[] = "a program for the device";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    ASSERT_EQ(Boot_Zorbel(0, image.data(), static_cast<int>(image.size())), 0);
    ASSERT_TRUE(rig->wait_normal_mode(dev, 5000));
    EXPECT_EQ(dev.boots(), 1u);

    // It left the boot class and arrived behind the device already present,
    // with the same hardware ID.
    EXPECT_EQ(Get_Zorbel_State(0), 2);
    EXPECT_EQ(Get_Zorbel_State(1), 2);
    EXPECT_EQ(Get_Zorbel_Count(), 2);
    EXPECT_EQ(Get_Real_Zorbel_Count(), 2);
    EXPECT_EQ(zorbel::walk_usb_hubs().boot, 0);
    char hardware_id[13] = {};
    ASSERT_TRUE(Get_Zorbel_HardwareID(1, hardware_id));
    EXPECT_EQ(std::string(hardware_id), hw('A'));
    EXPECT_EQ(GetOpenIndexForDeviceByHID(hardware_id), 1);
    EXPECT_EQ(Boot_Zorbel(0, image.data(), static_cast<int>(image.size())), -1);

    // Its programs run, and the traffic reaches it and not the other device.
    ChanIOControl c;
    ASSERT_TRUE(c.start(1));
    ASSERT_NO_FATAL_FAILURE(echo_round_trip(c, 5000));
    EXPECT_TRUE(c.stop());
    EXPECT_GT(dev.to_device_stats().bytes, 0u);
    EXPECT_EQ(other.to_device_stats().bytes, 0u);
}

TEST_P(DeviceScenarios, PipesCarryDataBothWaysAtOnce) {
    zorbel::EmulatedDevice dev = rig->add_device('A');
    ASSERT_TRUE(dev.valid());
    constexpr int echo_pipes = 3;
    constexpr size_t echo_bytes = 48 * 1024;
    constexpr size_t stream_bytes = 64 * 1024;
    auto tally = std::make_shared<zorbel::SinkTally>();
    for (int p = 1; p <= echo_pipes; ++p) dev.bind(p, zorbel::echo_program());
    dev.bind(4, zorbel::source_program(stream_bytes));
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
    std::vector<std::vector<unsigned char>> echoed(echo_pipes);
    std::atomic<int> failed_sends{0};
    for (int i = 0; i < echo_pipes; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<unsigned char> data = pattern(echo_bytes, i);
            // Pieces that do not line up with blocks.
            for (size_t at = 0; at < data.size(); at += 1000) {
                const size_t n = std::min<size_t>(1000, data.size() - at);
                if (!send(pipes[i], std::vector<unsigned char>(data.begin() + at, data.begin() + at + n)))
                    ++failed_sends;
            }
        });
        threads.emplace_back([&, i] { echoed[i] = receive(pipes[i], echo_bytes); });
    }
    std::vector<unsigned char> sourced;
    threads.emplace_back([&] { sourced = receive(pipes[3], stream_bytes); });
    std::vector<unsigned char> sunk = pattern(stream_bytes, 99);
    threads.emplace_back([&] {
        if (!send(pipes[4], sunk)) ++failed_sends;
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
    EXPECT_EQ(tally->bytes(), stream_bytes);
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
    zorbel::EmulatedDevice dev = rig->add_device('A');
    ASSERT_TRUE(dev.valid());
    ASSERT_TRUE(rig->add_device('B').valid());  // the device comes back behind this one: new index
    dev.bind(1, zorbel::echo_program());
    dev.bind(3, zorbel::source_program());
    USBSeqDriver::open_retry_pause.store(10);  // 50 attempts: half a second

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
        rig->unplug(dev);
        ASSERT_TRUE(rig->plug(dev));
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
}

// A device that restarts tells the host with cmd_reset on its channels; the
// connection reopens it, the pipes start again from block 0 with it, and
// what is sent afterwards arrives once and in order.
TEST_P(DeviceScenarios, ADeviceThatRestartsStartsThePipesAgain) {
    zorbel::EmulatedDevice dev = rig->add_device('A');
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

    ASSERT_TRUE(rig->reset(dev));
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
        zorbel::EmulatedDevice dev = rig->add_device(tag);
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
        rig->unplug(dev);
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

TEST_P(DeviceScenarios, StopReleasesAClientBlockedInARead) {
    ASSERT_TRUE(rig->add_device('A').valid());  // nothing bound: the read waits for ever
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

// --- a handle on the device -------------------------------------------------

TEST_P(DeviceScenarios, StateFlagsFollowStartAndStop) {
    ASSERT_TRUE(rig->add_device('A').valid());
    ChanIOControl c;
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.stop());  // never started
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.start(3));  // no such device
    EXPECT_TRUE(c.stopped());

    ASSERT_TRUE(c.start(0));
    EXPECT_TRUE(c.started());
    EXPECT_TRUE(c.was_started(100));
    EXPECT_FALSE(c.was_started(0));  // 0 never waits
    EXPECT_FALSE(c.was_stopped(1));
    EXPECT_FALSE(claim_free(id('A')));

    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.was_started(1));
    EXPECT_TRUE(claim_free(id('A')));

    ASSERT_TRUE(c.start(0));  // a stopped connection starts again
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, OneDeviceOneConnectionWithinAProcess) {
    ASSERT_TRUE(rig->add_device('A').valid());
    ASSERT_TRUE(rig->add_device('B').valid());
    ChanIOControl a, b, c;
    ASSERT_TRUE(a.start(0));
    EXPECT_FALSE(a.start(0));  // held by itself
    EXPECT_FALSE(b.start(0));
    // A running connection keeps its device and claim whatever it is asked.
    EXPECT_FALSE(a.start(1));
    EXPECT_TRUE(claim_free(id('B')));
    ASSERT_TRUE(b.start(1));
    EXPECT_FALSE(c.start(0));

    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(c.start(0));
    c.stop();
    b.stop();
}

TEST_P(DeviceScenarios, FailedOpenGivesTheClaimBack) {
    ASSERT_TRUE(rig->add_device('A').valid());
    USBSeqDriver::open_retries.store(0);  // the ID reads, every open attempt is used up
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(claim_free(id('A')));
    EXPECT_TRUE(c.stop());
}

TEST_P(DeviceScenarios, DestroyingARunningConnectionStopsIt) {
    EmulatedDevice dev = rig->add_device('A');
    ASSERT_TRUE(dev.valid());
    dev.bind(1, zorbel::echo_program());
    {
        ChanIOControl c;
        ASSERT_TRUE(c.start(0));
        ASSERT_NO_FATAL_FAILURE(echo_round_trip(c, 600));
    }
    EXPECT_TRUE(claim_free(id('A')));
    ChanIOControl again;
    EXPECT_TRUE(again.start(0));
}

TEST_P(DeviceScenarios, CancelAndCloseEndReads) {
    EmulatedDevice dev = rig->add_device('A');
    ASSERT_TRUE(dev.valid());
    // A source answers only when asked: until then nothing comes to read.
    dev.bind(3, zorbel::source_program(512));
    // Closing is shown on a device of its own that stays silent: what the
    // first device's engine still sends once the host engine below has gone
    // would end a later raw read on it.
    ASSERT_TRUE(rig->add_device('B').valid());
    auto handle = open_normal(0);
    ASSERT_TRUE(handle);
    unsigned char buf[1000];

    // A cancel before the read is not lost; it is used up by that read.
    handle->cancel_read();
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    // A cancel from another thread ends a read that waits for data.
    auto read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    handle->cancel_read();
    EXPECT_EQ(read.get(), -1);
    {
        // The handle still carries blocks both ways (the host's requests
        // out, the source's block in); the engine closes it when it goes.
        zorbel::testing::HostEngine host(handle);
        ChanInput source(&host.engine, 6);
        source.set_timeout(20000);
        const std::vector<unsigned char> got = receive(source, 512);
        ASSERT_EQ(got.size(), 512u);
        for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], zorbel::source_pattern(k)) << k;
    }

    // Closing one handle leaves another's read alone; closing its own ends it.
    handle = open_normal(1);
    auto other = open_normal(1);
    ASSERT_TRUE(handle && other);
    read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    other->close();
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    handle->close();
    EXPECT_EQ(read.get(), -1);
    handle->close();  // again: harmless
    const unsigned char byte = 1;
    EXPECT_EQ(handle->write(&byte, 1), -1);
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    unsigned char record[zorbel::host::info_record_size];
    EXPECT_FALSE(handle->get_info(record));
    // The device itself is still there for the next open.
    auto again = open_normal(1);
    ASSERT_TRUE(again);
    EXPECT_EQ(hardware_id_of(*again), hw('B'));
}

TEST_P(DeviceScenarios, UnplugEndsAReadUnderWayAndEveryLaterRequest) {
    EmulatedDevice a = rig->add_device('A');
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(rig->add_device('B').valid());
    auto handle = open_normal(0);
    ASSERT_TRUE(handle);
    EXPECT_EQ(hardware_id_of(*handle), hw('A'));
    unsigned char buf[1000] = {};
    auto read = std::async(std::launch::async, [&] { return handle->read(buf, sizeof buf); });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    rig->unplug(a);
    EXPECT_EQ(read.get(), -1);

    unsigned char record[zorbel::host::info_record_size];
    EXPECT_EQ(handle->read(buf, sizeof buf), -1);
    EXPECT_EQ(handle->write(buf, 8), -1);
    EXPECT_FALSE(handle->get_info(record));
    // It left the list, and the device behind it moved up.
    EXPECT_EQ(Get_Zorbel_Count(), 1);
    EXPECT_FALSE(open_normal(1));
    auto first = open_normal(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(hardware_id_of(*first), hw('B'));

    // Back in: present again, behind the other, through a new handle only.
    ASSERT_TRUE(rig->plug(a));
    EXPECT_EQ(handle->write(buf, 8), -1);
    auto again = open_normal(1);
    ASSERT_TRUE(again);
    EXPECT_EQ(hardware_id_of(*again), hw('A'));
}

INSTANTIATE_TEST_SUITE_P(Emulated, DeviceScenarios,
                         ::testing::Values(Backend{"the emulated bus", &zorbel::testing::make_emulated_rig}));
INSTANTIATE_TEST_SUITE_P(Libusb, DeviceScenarios,
                         ::testing::Values(Backend{"libusb over umockdev",
                                                   &zorbel::testing::make_libusb_rig}));

}  // namespace
