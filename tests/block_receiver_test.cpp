// The receive state machine: delivery, rejection, and the same outcome however
// the byte stream is cut into chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "block/testing/recording_transport.h"
#include "zorbel/block.h"
#include "fixtures/probe_channel.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::frame_block;
using zorbel::testing::frame_command;
using zorbel::testing::RecordingTransport;

namespace {

using zorbel::testing::ProbeChannel;

struct Engine {
    RecordingTransport wire;
    BlockDriver bd{"", &wire};
    Engine() {
        bd.link_check = false;
        bd.connected = true;
    }
    bool push(const Bytes& b) {
        return bd.dispatch_block_callback(const_cast<unsigned char*>(b.data()),
                                          static_cast<unsigned int>(b.size()));
    }
};

Bytes payload_of(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(BlockReceiver, ExampleChunkIsDeliveredAndADamagedCopyIsNot) {
    Bytes good = {0x4D, 0x4D, 0x11, 0x05, 0x00, 0x00, 0x02, 0x41, 0x42, 0x98, 0x1C, 0xAB, 0x9D};
    Engine e;
    ProbeChannel ch(&e.bd, 5);
    Bytes bad = good;
    bad.back() = 0x9E;
    ASSERT_TRUE(e.push(bad));
    EXPECT_FALSE(ch.flagged());
    EXPECT_NE(ch.received_len(), 2);
    EXPECT_TRUE(e.bd.dispatch_block_callback(nullptr, 13));  // nothing to take, nothing refused
    ASSERT_TRUE(e.push(good));
    EXPECT_TRUE(ch.flagged());
    EXPECT_EQ(ch.received(), (Bytes{0x41, 0x42}));
    EXPECT_EQ(ch.received_no(), 0);
}

TEST(BlockReceiver, HeaderChecks) {
    struct Case {
        const char* what;
        Bytes stream;
        bool delivered;
    };
    Bytes p512 = payload_of(512, 3);
    Bytes p513 = payload_of(513, 4);
    Case cases[] = {
        {"512-byte payload", frame_block(0x11, 9, 0, p512), true},
        {"513-byte payload", frame_block(0x11, 9, 0, p513), false},
        {"empty payload", frame_block(0x11, 9, 0, {}), true},
        {"keep-alive", frame_block(0x13, 9, 0, {}), false},
        {"unknown type", frame_block(0x14, 9, 0, {1}), false},
        {"unregistered channel", frame_block(0x11, 10, 0, {1}), false},
        {"5-byte command", frame_block(0x12, 9, 0, {2, 0, 0, 0, 0}), false},
        {"stray 0x4D before the pair", concat({{0x4D}, frame_block(0x11, 9, 0, {7})}), false},
        {"noise, then a block", concat({{1, 0x4D, 2, 0x4D, 3}, frame_block(0x11, 9, 0, {7})}), true},
    };
    for (const Case& c : cases) {
        Engine e;
        ProbeChannel ch(&e.bd, 9);
        ASSERT_TRUE(e.push(c.stream)) << c.what;
        EXPECT_EQ(ch.flagged(), c.delivered) << c.what;
        if (c.delivered) {
            EXPECT_EQ(ch.received_len(), static_cast<int>(c.stream.size()) - 11 - (c.stream[0] == 1 ? 5 : 0))
                << c.what;
        }
        // Whatever happened, the receiver is hunting again: a good block next
        // is taken (once the channel is free to receive).
        ch.take();
        ch.expect(0);
        ASSERT_TRUE(e.push(frame_block(0x11, 9, 0, {0xEE})));
        EXPECT_EQ(ch.received(), (Bytes{0xEE})) << c.what;
    }
}

TEST(BlockReceiver, DataWhileFlagSetOrBadIsDroppedAndWrongNumberLeavesFlagClear) {
    Engine e;
    ProbeChannel ch(&e.bd, 4);
    ASSERT_TRUE(e.push(frame_block(0x11, 4, 0, {1, 2, 3})));
    ASSERT_TRUE(ch.flagged());
    ASSERT_TRUE(e.push(frame_block(0x11, 4, 1, {9})));  // flag still set: not written
    EXPECT_EQ(ch.take(), (Bytes{1, 2, 3}));

    ASSERT_TRUE(e.push(frame_block(0x11, 4, 5, {8, 8})));  // expecting 1
    EXPECT_FALSE(ch.flagged());
    EXPECT_EQ(ch.received_no(), 5);  // stored, but the stream never looks

    ch.state = 1;
    ASSERT_TRUE(e.push(frame_block(0x11, 4, 1, {7})));
    EXPECT_FALSE(ch.flagged());
    EXPECT_EQ(ch.received_no(), 5);
}

TEST(BlockReceiver, CommandQueueHoldsFiveAndDropsTheSixth) {
    Engine e;
    ProbeChannel ch(&e.bd, 2);
    Bytes stream;
    for (int i = 0; i < 6; ++i) {
        Bytes cmd = frame_command(2, i % 2 ? BlockProtocol::cmd_block_ack : BlockProtocol::cmd_next_block,
                                  static_cast<unsigned char>(10 + i));
        stream.insert(stream.end(), cmd.begin(), cmd.end());
    }
    stream = concat({stream, frame_command(2, 9, 0)});  // unknown code: ignored
    ASSERT_TRUE(e.push(stream));
    EXPECT_TRUE(ch.flagged());
    EXPECT_EQ(ch.queued(), (std::vector<std::pair<int, int>>{{2, 10}, {3, 11}, {2, 12}, {3, 13}, {2, 14}}));
}

TEST(BlockReceiver, DeleteMakesBadOnceAndResetRestores) {
    Engine e;
    ProbeChannel ch(&e.bd, 3);
    ch.state = 0x2;  // bits other than "bad" are replaced by the delete
    ch.expect(7);
    ASSERT_TRUE(e.push(frame_command(3, BlockProtocol::cmd_next_block, 1)));
    ASSERT_TRUE(e.push(frame_command(3, BlockProtocol::cmd_delete, 0)));
    EXPECT_EQ(ch.state.load(), 1);
    EXPECT_TRUE(ch.flagged());

    ch.clear_flag();
    ASSERT_TRUE(e.push(frame_command(3, BlockProtocol::cmd_delete, 0)));
    ASSERT_TRUE(e.push(frame_command(3, BlockProtocol::cmd_next_block, 2)));
    EXPECT_FALSE(ch.flagged());  // a bad channel ignores both
    EXPECT_EQ(ch.queued().size(), 1u);

    ch.state = 0x3;
    ASSERT_TRUE(e.push(frame_command(3, BlockProtocol::cmd_reset, 0)));
    EXPECT_EQ(ch.state.load(), 0x2);
    EXPECT_TRUE(ch.is_correct_blk(0));
    EXPECT_TRUE(ch.queued().empty());
    EXPECT_FALSE(ch.flagged());
}

TEST(BlockReceiver, RefusesChunksWhileTheTableIsLocked) {
    Engine e;
    ProbeChannel ch(&e.bd, 6);
    Bytes first = frame_block(0x11, 6, 0, payload_of(100, 5));
    Bytes second = frame_block(0x11, 6, 0, {0x31, 0x32});
    ASSERT_TRUE(e.push(Bytes(first.begin(), first.begin() + 50)));
    e.bd.lock_channels();
    EXPECT_FALSE(e.push(Bytes(first.begin() + 50, first.end())));
    e.bd.unlock_channels();
    // The refused tail is lost: the broken block swallows what follows as its
    // payload, fails its CRC, and reception resumes with a later block.
    Bytes many;
    for (int i = 0; i < 10; ++i) many = concat({many, second});
    ASSERT_TRUE(e.push(many));
    EXPECT_TRUE(ch.flagged());
    EXPECT_EQ(ch.received(), (Bytes{0x31, 0x32}));
}

TEST(BlockReceiver, ReplacedOrRemovedChannelGetsNoTail) {
    Engine e;
    Bytes block = frame_block(0x11, 8, 0, payload_of(300, 6));
    auto old = std::make_unique<ProbeChannel>(&e.bd, 8);
    ASSERT_TRUE(e.push(Bytes(block.begin(), block.begin() + 100)));
    ProbeChannel replacement(&e.bd, 8);
    ASSERT_TRUE(e.push(Bytes(block.begin() + 100, block.end())));
    EXPECT_FALSE(replacement.flagged());
    EXPECT_FALSE(old->flagged());
    old.reset();  // its destructor empties slot 8
    ASSERT_TRUE(e.bd.attach_channel(&replacement));
    ASSERT_TRUE(e.push(block));
    EXPECT_TRUE(replacement.flagged());
}

// A stream of good, damaged and foreign blocks and noise, cut at every chunk
// size from 1 to 600: each cut must give exactly the deliveries of the unsplit
// stream. Each good block goes to a channel of its own, so that no delivery
// depends on when the consumer takes the one before.
TEST(BlockReceiver, EveryChunkSizeGivesTheSameDeliveries) {
    constexpr int kBlocks = 48;
    std::mt19937 rng(7);
    Bytes stream;
    std::vector<std::pair<int, Bytes>> want;  // (channel, payload), in order
    for (int i = 0; i < kBlocks; ++i) {
        int kind = static_cast<int>(rng() % 6);
        auto ch = static_cast<unsigned char>(1 + i);
        Bytes p = payload_of(rng() % 3 == 0 ? 512 : rng() % 200, static_cast<unsigned>(i));
        if (i % 5 == 0 && p.size() > 4) p[2] = p[3] = 0x4D;  // a sync pair inside a payload
        Bytes b = frame_block(0x11, ch, 0, p);
        if (kind == 0) {
            b[7 + rng() % (b.size() - 7)] ^= 0x10;  // damaged: dropped
        } else if (kind == 1) {
            b = frame_block(0x11, 200, 0, p);  // nobody listens on 200
        } else if (kind == 2) {
            b = frame_block(0x13, 0, 0, {});  // keep-alive
        } else if (kind == 3) {
            b = frame_command(ch, BlockProtocol::cmd_next_block, 1);  // queued, not data
        } else {
            want.emplace_back(ch, p);
        }
        stream.insert(stream.end(), b.begin(), b.end());
        // Noise between blocks, never ending in 0x4D (that would pair with
        // the next block's first sync byte and cost the block).
        for (unsigned n = rng() % 4; n > 0; --n)
            stream.push_back(static_cast<unsigned char>(n % 2 == 0 ? 0x4D : rng() % 0x4D));
    }

    // Data blocks in delivery order, then every channel's queued commands.
    using Deliveries =
        std::pair<std::vector<std::pair<int, Bytes>>, std::vector<std::vector<std::pair<int, int>>>>;
    auto deliveries = [&](unsigned size) {
        Engine e;
        std::vector<std::unique_ptr<ProbeChannel>> chans;
        for (int k = 1; k <= kBlocks; ++k) chans.push_back(std::make_unique<ProbeChannel>(&e.bd, k));
        Deliveries got;
        for (std::size_t pos = 0; pos < stream.size(); pos += size) {
            std::size_t n = std::min<std::size_t>(size, stream.size() - pos);
            EXPECT_TRUE(e.bd.dispatch_block_callback(stream.data() + pos, static_cast<unsigned>(n)));
            for (auto& c : chans)
                if (c->flagged() && c->queued().empty()) got.first.emplace_back(c->get_id(), c->take());
        }
        for (auto& c : chans) got.second.push_back(c->queued());
        return got;
    };
    auto unsplit = deliveries(static_cast<unsigned>(stream.size()));
    ASSERT_TRUE(unsplit.first == want);
    std::size_t commands = 0;
    for (const auto& q : unsplit.second) commands += q.size();
    ASSERT_GT(commands, 0u);
    for (unsigned size = 1; size <= 600; ++size)
        ASSERT_TRUE(deliveries(size) == unsplit) << "chunk size " << size;
}

// Two threads polling one engine: each call takes one whole block, so every
// block reaches its channel intact however the calls interleave.
TEST(BlockReceiver, PolledPathKeepsEachBlockWholeForSeveralPollers) {
    Engine e;
    std::vector<std::unique_ptr<ProbeChannel>> chans;
    for (unsigned char id = 1; id <= 250; ++id) {
        chans.push_back(std::make_unique<ProbeChannel>(&e.bd, id));
        e.wire.feed(frame_block(BlockProtocol::blk_data, id, 0, payload_of(64, id)));
    }
    std::atomic<int> delivered{0};
    auto poll = [&] {
        while (e.bd.dispatch_block()) delivered.fetch_add(1);
    };
    std::thread other(poll);
    poll();
    other.join();
    EXPECT_EQ(delivered.load(), 250);
    for (auto& c : chans) EXPECT_EQ(c->received(), payload_of(64, c->get_id())) << "channel " << c->get_id();
}

TEST(BlockReceiver, PolledPathDeliversOneBlockPerCall) {
    Engine e;
    ProbeChannel ch(&e.bd, 5);
    e.wire.feed({0x4D, 0x4D, 0x11, 0x05, 0x00, 0x00, 0x02, 0x41, 0x42, 0x98, 0x1C, 0xAB, 0x9D});
    e.wire.feed(frame_command(5, BlockProtocol::cmd_delete, 0));
    e.bd.start_statistics();
    EXPECT_TRUE(e.bd.dispatch_block());
    EXPECT_EQ(ch.take(), (Bytes{0x41, 0x42}));
    EXPECT_TRUE(e.bd.dispatch_block());
    EXPECT_EQ(ch.state.load(), 1);
    EXPECT_FALSE(e.bd.dispatch_block());  // nothing left

    Bytes damaged = frame_block(0x11, 5, 1, {1, 2});
    damaged[8] ^= 1;
    ch.state = 0;
    ch.clear_flag();
    e.wire.feed(damaged);
    e.wire.feed(frame_block(0x11, 6, 0, {1}));  // unregistered
    e.wire.feed(frame_block(0x11, 5, 1, {3}));
    EXPECT_FALSE(e.bd.dispatch_block());
    EXPECT_FALSE(e.bd.dispatch_block());
    EXPECT_TRUE(e.bd.dispatch_block());
    EXPECT_EQ(ch.received(), (Bytes{3}));
    long in_rate, out_rate;
    e.bd.get_statistics(in_rate, out_rate);
    EXPECT_GT(in_rate, 0);
}
