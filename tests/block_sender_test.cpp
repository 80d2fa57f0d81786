// Sending side and table of the block engine: framing byte for byte, link
// supervision, statistics, the channel registry and the transport's fields.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "block/testing/recording_transport.h"
#include "support/clock.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::RecordingTransport;

namespace {

std::atomic<std::uint32_t> fake_now{0};
std::uint32_t fake_clock() { return fake_now.load(); }

// Steps the process clock by hand for the duration of a test.
class FakeClock {
public:
    explicit FakeClock(std::uint32_t start) {
        fake_now = start;
        zorbel::detail::set_clock_for_testing(&fake_clock);
    }
    ~FakeClock() { zorbel::detail::set_clock_for_testing(nullptr); }
    void set(std::uint32_t t) { fake_now = t; }
};

// An engine with supervision off, as the connection object sets it up.
struct Engine {
    RecordingTransport wire;
    BlockDriver bd{"", &wire};
    Engine() {
        bd.link_check = false;
        bd.connected = true;
    }
};

}  // namespace

TEST(BlockFraming, CommandAndKeepAliveOnTheWire) {
    Engine e;
    ASSERT_TRUE(e.bd.out_command(7, BlockProtocol::cmd_next_block, 3));
    ASSERT_TRUE(e.bd.out_block(0, 0, BlockProtocol::blk_alive, nullptr, 0));
    auto sent = e.wire.transfers();
    ASSERT_EQ(sent.size(), 2u);  // one transfer per block
    EXPECT_EQ(sent[0], (Bytes{0x4D, 0x4D, 0x12, 0x07, 0x00, 0x00, 0x04, 0x02, 0x03, 0x00, 0x00, 0xC8, 0x23,
                              0xDA, 0xE8}));
    EXPECT_EQ(sent[1], (Bytes{0x4D, 0x4D, 0x13, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x36, 0x3F, 0x27}));
}

TEST(BlockFraming, PayloadIsSentUnchangedAndChannelTakesLowByte) {
    Engine e;
    Bytes payload(512);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
    payload[10] = payload[11] = 0x4D;
    e.bd.start_statistics();
    ASSERT_TRUE(e.bd.out_block(0x1FF, 0x123, BlockProtocol::blk_data, payload.data(), 512));
    Bytes sent = e.wire.transfer(0);
    EXPECT_EQ(sent, zorbel::testing::frame_block(BlockProtocol::blk_data, 0xFF, 0x23, payload));
    // A null payload never claims bytes: the block goes out empty.
    ASSERT_TRUE(e.bd.out_block(3, 0, BlockProtocol::blk_data, nullptr, 20));
    EXPECT_EQ(e.wire.transfer(1), zorbel::testing::frame_block(BlockProtocol::blk_data, 3, 0, {}));
    long in_rate = -1, out_rate = -1;
    e.bd.get_statistics(in_rate, out_rate);
    EXPECT_EQ(in_rate, 0);
    EXPECT_GE(out_rate, 0);
}

TEST(BlockFraming, FailedFlushIsReported) {
    Engine e;
    e.wire.set_flush_result(false);
    EXPECT_FALSE(e.bd.out_command(1, BlockProtocol::cmd_reset, 0));
    EXPECT_EQ(e.wire.transfer_count(), 1u);
}

TEST(BlockFraming, ByteOperationsAreBigEndianAndFeedTheCrc) {
    Engine e;
    CRC32 crc;
    EXPECT_TRUE(e.bd.put_dword(0x01020304ul, crc));
    EXPECT_TRUE(e.bd.put_word(0x0506));
    EXPECT_TRUE(e.bd.put_byte(0x1FF));
    ASSERT_TRUE(e.wire.flush());
    EXPECT_EQ(e.wire.transfer(0), (Bytes{1, 2, 3, 4, 5, 6, 0xFF}));
    CRC32 expected;
    unsigned char fed[] = {1, 2, 3, 4};
    expected.update(fed, 4);
    EXPECT_EQ(crc.get(), expected.get());

    e.wire.feed({0xAB, 0xCD, 0x01, 0x02, 0x03, 0x04, 0x77});
    CRC32 in;
    EXPECT_EQ(e.bd.get_word(in), 0xABCD);
    EXPECT_EQ(e.bd.get_dword(), 0x01020304ul);
    // A missing second byte reads as -1, which fills the whole word.
    EXPECT_EQ(e.bd.get_word(), 0xFFFF);
    EXPECT_EQ(e.bd.get_byte(), -1);
}

TEST(LinkSupervision, RefusesUntilHeardAndAfterFiveSecondsOfSilence) {
    FakeClock clock(100000);
    RecordingTransport wire;
    BlockDriver bd("", &wire);
    EXPECT_FALSE(bd.is_hardware_connected());
    EXPECT_FALSE(bd.out_command(1, BlockProtocol::cmd_reset, 0));  // nothing heard yet
    EXPECT_EQ(wire.transfer_count(), 0u);

    unsigned char sync[] = {0x4D, 0x4D};
    ASSERT_TRUE(bd.dispatch_block_callback(sync, 2));
    EXPECT_TRUE(bd.is_hardware_connected());
    clock.set(105000);
    EXPECT_TRUE(bd.out_command(1, BlockProtocol::cmd_reset, 0));
    clock.set(105001);
    EXPECT_FALSE(bd.out_command(1, BlockProtocol::cmd_reset, 0));
    EXPECT_FALSE(bd.connected);
    EXPECT_EQ(wire.transfer_count(), 1u);

    bd.link_check = false;
    EXPECT_TRUE(bd.is_hardware_connected());
    EXPECT_TRUE(bd.out_command(1, BlockProtocol::cmd_reset, 0));
}

TEST(LinkSupervision, PolledPathSendsKeepAliveAfterTwoSecondsQuiet) {
    FakeClock clock(50000);
    RecordingTransport wire;
    BlockDriver bd("", &wire);
    wire.feed({0x4D, 0x4D, 0x13, 0, 0, 0, 0, 0x2C, 0x36, 0x3F, 0x27});
    EXPECT_FALSE(bd.dispatch_block());  // a keep-alive is heard but not delivered
    EXPECT_TRUE(bd.connected);
    clock.set(52001);
    EXPECT_FALSE(bd.dispatch_block());
    ASSERT_EQ(wire.transfer_count(), 1u);
    EXPECT_EQ(wire.transfer(0), (Bytes{0x4D, 0x4D, 0x13, 0, 0, 0, 0, 0x2C, 0x36, 0x3F, 0x27}));
}

// Swallows every byte, so that megabytes can be counted quickly.
class SinkTransport : public RecordingTransport {
public:
    bool hput_byte(int) override { return true; }
    bool flush() override { return true; }
};

TEST(Statistics, RatesOverTheIntervalIn64Bits) {
    FakeClock clock(1000);
    SinkTransport sink;
    BlockDriver bd("", &sink);
    bd.link_check = false;
    bd.start_statistics();
    Bytes payload(512, 0x55);
    // 10,000 full blocks: 5.21 MB, beyond what a 32-bit product of bytes and
    // 1000 can hold.
    for (int i = 0; i < 10000; ++i) bd.out_block(1, i, BlockProtocol::blk_data, payload.data(), 512);
    clock.set(1000 + 999);
    long in_rate = -1, out_rate = -1;
    bd.get_statistics(in_rate, out_rate);
    EXPECT_EQ(out_rate, 5210000);
    EXPECT_EQ(in_rate, 0);

    // The call started a new interval; elapsed is never 0.
    bd.out_block(1, 0, BlockProtocol::blk_data, payload.data(), 1);  // 10 bytes
    bd.get_statistics(in_rate, out_rate);
    EXPECT_EQ(out_rate, 10000);
}

TEST(Statistics, ExampleRate) {
    FakeClock clock(7);
    Engine e;
    e.bd.start_statistics();
    Bytes payload(1991, 1);
    e.bd.out_block(1, 0, BlockProtocol::blk_data, payload.data(), 1991);  // 2000 bytes counted
    clock.set(7 + 999);
    long in_rate, out_rate;
    e.bd.get_statistics(in_rate, out_rate);
    EXPECT_EQ(out_rate, 2000);
}

TEST(ChannelRegistry, AttachReplaceDetachAndLookups) {
    Engine e;
    EXPECT_FALSE(e.bd.attach_channel(nullptr));
    EXPECT_FALSE(e.bd.deattach_channel(nullptr));
    FormalChannel c0(&e.bd, 0), c255(&e.bd, 255);
    EXPECT_EQ(e.bd.get_channel(0), &c0);
    EXPECT_EQ(e.bd.get_channel(255), &c255);

    struct Case {
        int n;
        FormalChannel* found;
    };
    for (Case c : {Case{-1, nullptr}, Case{256, nullptr}, Case{300, nullptr}, Case{0x10000, &c0},
                   Case{0x100FF, &c255}, Case{5, nullptr}}) {
        EXPECT_EQ(e.bd.get_channel(c.n), c.found) << c.n;
        EXPECT_EQ(e.bd.channel_registered(c.n), c.found != nullptr) << c.n;
    }
    EXPECT_EQ(e.bd.total_channels(), 256u);

    {
        FormalChannel first(&e.bd, 5);
        FormalChannel second(&e.bd, 5);  // the last attach wins
        EXPECT_EQ(e.bd.get_channel(0x10005), &second);
        EXPECT_TRUE(e.bd.deattach_channel(&first));  // empties the slot whoever holds it
        EXPECT_FALSE(e.bd.channel_registered(5));
    }
    EXPECT_FALSE(e.bd.channel_registered(5));
    EXPECT_EQ(e.bd.total_channels(), 256u);
}

TEST(LinkState, NullDriverIsFinished) {
    BlockDriver bd("", nullptr);
    EXPECT_TRUE(bd.is_finished());
    EXPECT_EQ(bd.get_seq_driver(), nullptr);
    EXPECT_FALSE(bd.out_command(1, BlockProtocol::cmd_reset, 0));
    EXPECT_FALSE(bd.dispatch_block());
    RecordingTransport wire;
    BlockDriver running("", &wire);
    EXPECT_FALSE(running.is_finished());
    wire.done();
    EXPECT_TRUE(running.is_finished());
}

TEST(SeqDriver, TimeoutsFinishedAndCopies) {
    RecordingTransport a;
    a.set_i_timeout(250);
    a.set_o_timeout(750);
    EXPECT_EQ(a.get_i_timeout(0), 250u);
    EXPECT_EQ(a.get_i_timeout(12345), 250u);
    EXPECT_EQ(a.get_o_timeout(99), 750u);
    a.finish();
    EXPECT_TRUE(a.is_finished());
    EXPECT_EQ(a.hget_byte(), -1);

    RecordingTransport b;
    static_cast<FormalSeqDriver&>(b) = a;
    EXPECT_TRUE(b.is_finished());
    EXPECT_EQ(b.get_i_timeout(0), 250u);
    EXPECT_EQ(b.get_o_timeout(0), 750u);
}
