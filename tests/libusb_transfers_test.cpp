// Bulk transfers on the libusb backend as USB shapes them, at both packet
// sizes (64 bytes full speed, 512 high speed): several blocks in one IN
// transfer, transfers of whole packets and their zero-length packets,
// stalls, a device leaving in the middle of a stream, and a long stream cut
// at random: every byte once, in order, in pieces no longer than the reader's
// buffer.
//
// The harness puts umockdev's preload library in front of the program (it
// re-executes it); the tests skip when umockdev is not installed.
#include <gtest/gtest.h>

#if defined(ZORBEL_HAVE_LIBUSB) && defined(ZORBEL_HAVE_UMOCKDEV)

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/testing/umockdev_bus.h"
#include "zorbel/usb.h"

namespace {

using zorbel::host::DeviceHandle;
using zorbel::host::LibusbBackend;
using zorbel::host::OpenFailure;
using zorbel::testing::ControlSetup;
using zorbel::testing::Gadget;
using zorbel::testing::UmockdevBus;

// A device whose bulk IN bytes the test sends, and which keeps count of the
// zero-length packets that end the host's OUT transfers.
class Streamer : public Gadget {
public:
    bool control(const ControlSetup&, std::vector<unsigned char>&) override { return false; }
    void bulk_out(const unsigned char* data, std::size_t len) override {
        std::lock_guard<std::mutex> lock(mutex);
        received.insert(received.end(), data, data + len);
    }
    void zero_length_packet() override { ++zero_length_packets; }

    std::mutex mutex;
    std::vector<unsigned char> received;
    std::atomic<int> zero_length_packets{0};
};

std::vector<unsigned char> pattern(std::size_t size, unsigned seed) {
    std::vector<unsigned char> v(size);
    for (std::size_t i = 0; i < size; ++i) v[i] = static_cast<unsigned char>(i * 31 + i / 251 + seed);
    return v;
}

constexpr unsigned kReaderBuffer = 1000;  // the connection's receive buffer

class LibusbTransfers : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!UmockdevBus::preload_active()) GTEST_SKIP() << "umockdev preload not in force";
        bus_ = std::make_unique<UmockdevBus>(packet_);
        node_ = bus_->add_device(bus_->add_root_hub(1, 2), 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL,
                                 device_);
        backend_ = std::make_unique<LibusbBackend>(kWriteTimeoutMs);
        handle_ = backend_->open(DEVICE_KIND_NORMAL, 0, failure_);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        handle_.reset();
        backend_.reset();
        bus_.reset();
    }

    void send(const std::vector<unsigned char>& bytes) { device_->send_in(bytes.data(), bytes.size()); }

    // Reads until `size` bytes are in or a read fails, with buffers of
    // `buffer` bytes (random sizes up to reader_buffer when 0).
    std::vector<unsigned char> receive(std::size_t size, unsigned buffer = kReaderBuffer) {
        std::vector<unsigned char> in;
        std::vector<unsigned char> buf(kReaderBuffer);
        while (in.size() < size) {
            const unsigned len = buffer != 0 ? buffer : 1 + random_() % kReaderBuffer;
            const long n = handle_->read(buf.data(), len);
            if (n <= 0) break;
            EXPECT_LE(n, static_cast<long>(len));
            in.insert(in.end(), buf.begin(), buf.begin() + n);
        }
        return in;
    }

    static constexpr unsigned kWriteTimeoutMs = 100;
    const int packet_ = GetParam();
    std::mt19937 random_{14};
    std::shared_ptr<Streamer> device_ = std::make_shared<Streamer>();
    std::unique_ptr<UmockdevBus> bus_;
    std::string node_;
    std::unique_ptr<LibusbBackend> backend_;
    OpenFailure failure_ = OpenFailure::none;
    std::shared_ptr<DeviceHandle> handle_;
};

// The device queues its blocks before the host asks: they leave in
// transfers of many packets, some ended by a zero-length packet, one filling
// a read buffer exactly. A read of 1000 bytes overflowed on each of these.
TEST_P(LibusbTransfers, QueuedBlocksShareTransfersAndArriveWhole) {
    const std::size_t p = static_cast<std::size_t>(packet_);
    const std::vector<std::vector<std::size_t>> cases = {
        {700, 700, 700},       // several blocks, one transfer
        {2 * p, 10},           // whole packets, then a short transfer
        {16384, 5},            // exactly a read transfer, then its ZLP
        {16384 + p, 1},        // past one read transfer
        {1, p - 1, p, p + 1},  // around one packet
    };
    unsigned seed = 0;
    for (const auto& blocks : cases) {
        std::vector<unsigned char> sent;
        for (std::size_t size : blocks) {
            const auto block = pattern(size, ++seed);
            sent.insert(sent.end(), block.begin(), block.end());
            send(block);
        }
        EXPECT_EQ(receive(sent.size()), sent) << "first block " << blocks[0];
    }
}

TEST_P(LibusbTransfers, WritesOfWholePacketsEndWithAZeroLengthPacket) {
    const struct {
        unsigned size;
        int zero_length_packets;
    } cases[] = {{100, 0}, {static_cast<unsigned>(packet_), 1}, {4095, 0}, {4096, 1}};
    std::vector<unsigned char> sent;
    for (const auto& c : cases) {
        const int before = device_->zero_length_packets.load();
        const auto bytes = pattern(c.size, c.size);
        ASSERT_EQ(handle_->write(bytes.data(), c.size), static_cast<long>(c.size));
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        EXPECT_EQ(device_->zero_length_packets.load() - before, c.zero_length_packets) << c.size;
    }
    std::lock_guard<std::mutex> lock(device_->mutex);
    EXPECT_EQ(device_->received, sent);
}

// A device that stops taking data fails the write after the time-out,
// instead of holding the flush for ever; once it takes data again, so do
// writes.
TEST_P(LibusbTransfers, WriteToADeviceThatTakesNothingTimesOut) {
    const auto bytes = pattern(4096, 1);
    bus_->hold_out(node_, true);
    EXPECT_EQ(handle_->write(bytes.data(), 100), -1);
    bus_->hold_out(node_, false);
    EXPECT_EQ(handle_->write(bytes.data(), 4096), 4096);
    std::lock_guard<std::mutex> lock(device_->mutex);
    EXPECT_EQ(device_->received, bytes);
}

// A stall is cleared and the stream goes on where it stopped, more than once
// in one stream; an endpoint that stalls again after the clear fails the read.
TEST_P(LibusbTransfers, StallInTheMiddleOfAStreamIsClearedOnce) {
    std::vector<unsigned char> sent;
    std::vector<unsigned char> got;
    for (unsigned round = 1; round <= 2; ++round) {
        const auto before = pattern(3000, round);
        send(before);
        sent.insert(sent.end(), before.begin(), before.end());
        const auto first = receive(500, 500);
        got.insert(got.end(), first.begin(), first.end());
        bus_->stall_in(node_);
        const auto after = pattern(3000, round + 10);
        send(after);
        sent.insert(sent.end(), after.begin(), after.end());
        const auto rest = receive(sent.size() - got.size());
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got, sent) << round;
    }
    bus_->stall_in(node_, true);
    send(pattern(10, 0));
    unsigned char buf[kReaderBuffer];
    EXPECT_EQ(handle_->read(buf, sizeof buf), -1);
}

// A halt in the middle of a transfer of many packets: the transfer ends with
// the stall and brings the packets before it, which are handed over once
// (they were handed over again after the clear), then the rest follows.
TEST_P(LibusbTransfers, StallPartWayThroughATransferHandsItsPacketsOverOnce) {
    const int packets_before[] = {1, 1024 / packet_, 3000 / packet_};
    unsigned seed = 20;
    for (int packets : packets_before) {
        bus_->stall_in(node_, false, packets);
        const auto sent = pattern(3000, ++seed);
        send(sent);
        const auto got = receive(sent.size());
        ASSERT_EQ(got.size(), sent.size()) << packets << " packets before the stall";
        ASSERT_TRUE(got == sent) << packets << " packets before the stall";
        // Nothing more than what was sent: the next bytes are the next block.
        const auto next = pattern(10, ++seed);
        send(next);
        ASSERT_EQ(receive(next.size()), next) << packets << " packets before the stall";
    }
}

// Bytes already handed to the host still arrive, in order; then reads and
// writes fail, as the connection needs to start its reconnection.
TEST_P(LibusbTransfers, DeviceGoneInTheMiddleOfAStream) {
    const auto sent = pattern(3000, 3);
    send(sent);
    auto got = receive(1000);
    ASSERT_EQ(got.size(), 1000u);
    bus_->unplug(node_);
    const auto rest = receive(sent.size());
    got.insert(got.end(), rest.begin(), rest.end());
    ASSERT_LE(got.size(), sent.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
    unsigned char buf[kReaderBuffer];
    EXPECT_EQ(handle_->read(buf, sizeof buf), -1);
    EXPECT_EQ(handle_->write(buf, 10), -1);
}

TEST_P(LibusbTransfers, LongStreamWithRandomTransferBoundaries) {
    const auto sent = pattern(300000, 7);
    std::thread sender([&] {
        std::mt19937 cut(packet_);
        for (std::size_t at = 0; at < sent.size();) {
            // Whole packets now and then, else anything up to a few blocks.
            std::size_t size = cut() % 4 == 0 ? packet_ * (1 + cut() % 8) : 1 + cut() % 5000;
            size = std::min(size, sent.size() - at);
            device_->send_in(sent.data() + at, size);
            at += size;
            if (cut() % 3 == 0) std::this_thread::yield();
        }
    });
    const auto got = receive(sent.size(), 0);
    sender.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, LibusbTransfers, ::testing::Values(64, 512),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == 64 ? "FullSpeed64" : "HighSpeed512";
                         });

}  // namespace

#else

TEST(LibusbTransfers, NeedsLibusbAndUmockdev) { GTEST_SKIP() << "built without libusb-1.0 or umockdev"; }

#endif
