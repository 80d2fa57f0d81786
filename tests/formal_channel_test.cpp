// FormalChannel on its own: registration for its lifetime, the commands it
// sends, and its state word.
#include <gtest/gtest.h>

#include <atomic>

#include "block/testing/recording_transport.h"
#include "fixtures/probe_channel.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::frame_command;
using zorbel::testing::RecordingTransport;

namespace {

using zorbel::testing::ProbeChannel;

class BareChannel : public FormalChannel {
public:
    using FormalChannel::delete_notification;
    using FormalChannel::FormalChannel;
    using FormalChannel::return_state;
    using FormalChannel::state_is_bad;
    using FormalChannel::update_state;
};

struct Engine {
    RecordingTransport wire;
    BlockDriver bd{"", &wire};
    Engine() {
        bd.link_check = false;
        bd.connected = true;
    }
    bool push(const Bytes& b) {
        return bd.dispatch_block_callback(const_cast<unsigned char*>(b.data()),
                                          static_cast<unsigned>(b.size()));
    }
};

}  // namespace

TEST(FormalChannel, RegisteredForItsLifetimeAndSaysGoodbyeOnce) {
    Engine e;
    {
        BareChannel ch(&e.bd, 42);
        EXPECT_EQ(e.bd.get_channel(42), &ch);
        EXPECT_EQ(ch.get_id(), 42);
        EXPECT_EQ(e.wire.transfer_count(), 0u);
    }
    EXPECT_EQ(e.bd.get_channel(42), nullptr);
    ASSERT_EQ(e.wire.transfer_count(), 1u);
    EXPECT_EQ(e.wire.transfer(0), frame_command(42, BlockProtocol::cmd_delete, 0));
}

TEST(FormalChannel, WithoutDriverNothingIsSent) {
    BareChannel ch(nullptr, 1);
    ch.reset();
    EXPECT_FALSE(ch.delete_notification(1, 100));
}

TEST(FormalChannel, ResetAndDeleteNotification) {
    Engine e;
    BareChannel ch(&e.bd, 9);
    ch.reset();
    EXPECT_TRUE(ch.delete_notification(0, 100));  // at least one is sent
    EXPECT_TRUE(ch.delete_notification(3, 1));
    auto sent = e.wire.transfers();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], frame_command(9, BlockProtocol::cmd_reset, 0));
    for (int i = 1; i < 5; ++i) EXPECT_EQ(sent[i], frame_command(9, BlockProtocol::cmd_delete, 0));

    e.wire.set_flush_result(false);
    EXPECT_FALSE(ch.delete_notification(3, 1000));  // gives up at the first failure, without waiting
    EXPECT_EQ(e.wire.transfer_count(), 6u);

    e.wire.done();
    ch.reset();  // a finished engine sends nothing
    EXPECT_EQ(e.wire.transfer_count(), 6u);
}

TEST(FormalChannel, ExpectedBlockNumber) {
    Engine e;
    ProbeChannel ch(&e.bd, 1);
    EXPECT_TRUE(ch.is_correct_blk(0));
    EXPECT_FALSE(ch.is_correct_blk(256));
    EXPECT_FALSE(ch.is_correct_blk(-256));
    ch.expect(255);
    EXPECT_TRUE(ch.is_correct_blk(255));
    EXPECT_FALSE(ch.is_correct_blk(-1));
}

TEST(FormalChannel, StateWordAndInit) {
    Engine e;
    ProbeChannel ch(&e.bd, 3);
    EXPECT_EQ(ch.update_state(0x3), 0x3);
    EXPECT_EQ(ch.return_state(), 0x3);
    EXPECT_TRUE(ch.state_is_bad());
    ch.expect(17);
    ch.init();
    EXPECT_EQ(ch.state.load(), 0x2);  // only the bad bit is cleared
    EXPECT_TRUE(ch.is_correct_blk(0));
    EXPECT_TRUE(ch.waits_for_data());

    // A bare channel has no state word: the peer's delete wakes it but it
    // never turns bad.
    BareChannel bare(&e.bd, 4);
    EXPECT_EQ(bare.update_state(1), 0);
    EXPECT_EQ(bare.return_state(), 0);
    ASSERT_TRUE(e.push(frame_command(4, BlockProtocol::cmd_delete, 0)));
    EXPECT_FALSE(bare.waits_for_data());
    EXPECT_FALSE(bare.state_is_bad());
}
