// The output stream against a scripted peer whose requests the test queues
// (or which confirms each block as it is sent), with every block on the wire
// recorded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "block/testing/recording_transport.h"
#include "fixtures/watchdog.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::frame_command;
using zorbel::testing::RecordingTransport;

namespace {

constexpr unsigned char kId = 4;

struct SentBlock {
    int number;
    Bytes payload;
};

class Peer {
public:
    Peer() : engine("", &transport) {
        engine.link_check.store(false);
        engine.connected.store(true);
        transport.set_on_transfer([this](const Bytes& t) {
            if (confirm_each.load() && t[2] == BlockProtocol::blk_data)
                ask(static_cast<unsigned char>(t[4] + 1));
        });
    }
    void command(int cmd, unsigned char arg) {
        Bytes b = frame_command(kId, cmd, arg);
        ASSERT_TRUE(zorbel::testing::push_chunk(engine, b));
    }
    void ask(unsigned char n) { command(BlockProtocol::cmd_next_block, n); }
    std::vector<SentBlock> blocks() {
        std::vector<SentBlock> out;
        for (const Bytes& t : transport.transfers()) {
            if (t[2] != BlockProtocol::blk_data) continue;
            const std::size_t len = (std::size_t{t[5]} << 8) | t[6];
            out.push_back({t[4], Bytes(t.begin() + 7, t.begin() + 7 + static_cast<long>(len))});
        }
        return out;
    }

    RecordingTransport transport;
    BlockDriver engine;
    std::atomic<bool> confirm_each{false};
};

Bytes bytes_of(std::size_t n, unsigned char start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(start + i);
    return b;
}

}  // namespace

TEST(ChannelOutput, FlushWithNothingBufferedSendsNothing) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    EXPECT_TRUE(out.flush());
    ChannelOutput unattached(nullptr, 1);
    EXPECT_TRUE(unattached.flush());
    EXPECT_EQ(peer.transport.transfer_count(), 0u);
}

TEST(ChannelOutput, AFullBufferWaitsForTheNextByte) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    const Bytes data = bytes_of(512);
    EXPECT_EQ(out.write(data.data(), 512), 512);
    EXPECT_EQ(peer.transport.transfer_count(), 0u);
    peer.ask(0);
    peer.ask(1);
    EXPECT_EQ(out.write_byte(0x77), 1);
    auto blocks = peer.blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].number, 0);
    EXPECT_EQ(blocks[0].payload, data);
    // The request for 1 stayed queued, so block 1 goes out without waiting.
    out.set_timeout(1);
    EXPECT_FALSE(out.flush());  // sent but not yet confirmed
    blocks = peer.blocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].number, 1);
    EXPECT_EQ(blocks[1].payload, Bytes{0x77});
}

TEST(ChannelOutput, LongWriteSplitsAtTheBufferBoundary) {
    Peer peer;
    peer.confirm_each = true;
    ChannelOutput out(&peer.engine, kId);
    const Bytes data = bytes_of(1000, 3);
    peer.ask(0);
    EXPECT_EQ(out.write(data.data(), 1000), 1000);
    ASSERT_EQ(peer.blocks().size(), 1u);
    EXPECT_EQ(peer.blocks()[0].payload, Bytes(data.begin(), data.begin() + 512));
    EXPECT_TRUE(out.flush());
    ASSERT_EQ(peer.blocks().size(), 2u);
    EXPECT_EQ(peer.blocks()[1].number, 1);
    EXPECT_EQ(peer.blocks()[1].payload, Bytes(data.begin() + 512, data.end()));
}

TEST(ChannelOutput, FailedFlushReportsEveryByteTaken) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    out.set_timeout(20);
    const Bytes data = bytes_of(1000, 5);
    // The first 512 bytes are in the stream and will leave with the next
    // flush; a caller that writes the rest again must not send them twice.
    EXPECT_EQ(out.write(data.data(), 1000), 512);
    EXPECT_EQ(peer.transport.transfer_count(), 0u);
    peer.confirm_each = true;
    peer.ask(0);
    EXPECT_EQ(out.write(data.data() + 512, 488), 488);
    EXPECT_TRUE(out.flush());
    const auto blocks = peer.blocks();
    ASSERT_EQ(blocks.size(), 2u);
    Bytes all = blocks[0].payload;
    all.insert(all.end(), blocks[1].payload.begin(), blocks[1].payload.end());
    EXPECT_EQ(all, data);

    // Partly filled buffer: only the bytes that fit count.
    ChannelOutput other(&peer.engine, 5);
    other.set_timeout(1);
    EXPECT_EQ(other.write(data.data(), 100), 100);
    EXPECT_EQ(other.write(data.data(), 1000), 412);
}

TEST(ChannelOutput, StringsWordsAndDwordsGoMostSignificantFirst) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    char s[] = "abc";
    EXPECT_EQ(out.write_string(s), 4);
    EXPECT_TRUE(out.write_word(0x1234));
    EXPECT_TRUE(out.write_dword(0x12345678));
    peer.ask(0);
    peer.ask(1);
    EXPECT_TRUE(out.flush());
    ASSERT_EQ(peer.blocks().size(), 1u);
    EXPECT_EQ(peer.blocks()[0].payload, (Bytes{'a', 'b', 'c', 0, 0x12, 0x34, 0x12, 0x34, 0x56, 0x78}));
}

TEST(ChannelOutput, EveryRequestForTheCurrentBlockSendsItAgain) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    out.write_byte(1);
    peer.ask(0);
    peer.ask(0);
    peer.command(BlockProtocol::cmd_block_ack, 9);  // stale: ignored
    peer.command(BlockProtocol::cmd_block_ack, 0);  // confirms block 0
    EXPECT_TRUE(out.flush());
    EXPECT_EQ(peer.blocks().size(), 2u);
}

TEST(ChannelOutput, SilentPeerTimesOutAndKeepsTheBlock) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    out.set_timeout(200);
    out.write_byte(0x55);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(out.flush());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(peer.transport.transfer_count(), 0u);
    // Same bytes, same number on the next try.
    peer.confirm_each = true;
    peer.ask(0);
    EXPECT_TRUE(out.flush());
    ASSERT_EQ(peer.blocks().size(), 1u);
    EXPECT_EQ(peer.blocks()[0].number, 0);
    EXPECT_EQ(peer.blocks()[0].payload, Bytes{0x55});
}

TEST(ChannelOutput, BlockNumbersWrapAfter255) {
    Peer peer;
    peer.confirm_each = true;
    ChannelOutput out(&peer.engine, kId);
    peer.ask(0);
    for (int i = 0; i < 257; ++i) {
        out.write_byte(i);
        ASSERT_TRUE(out.flush()) << i;
    }
    const auto blocks = peer.blocks();
    ASSERT_EQ(blocks.size(), 257u);
    EXPECT_EQ(blocks[255].number, 255);
    EXPECT_EQ(blocks[256].number, 0);  // the request for 0 confirmed 255
}

// The peer's reset starts the numbers again; the bytes waiting in the buffer
// are the stream's and leave as block 0 of the peer's new start (dropping
// them would let the flush that waits for them report success).
TEST(ChannelOutput, PeerResetKeepsTheBufferAndDeleteFailsTheFlush) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    peer.confirm_each = true;
    peer.ask(0);
    out.write_byte(1);
    ASSERT_TRUE(out.flush());
    out.write_byte(2);
    peer.command(BlockProtocol::cmd_reset, 0);  // also drops the queued request for 1
    peer.ask(0);
    EXPECT_TRUE(out.flush());
    ASSERT_EQ(peer.blocks().size(), 2u);
    EXPECT_EQ(peer.blocks()[1].number, 0);
    EXPECT_EQ(peer.blocks()[1].payload, Bytes{2});

    out.write_byte(3);
    peer.command(BlockProtocol::cmd_delete, 0);
    EXPECT_FALSE(out.flush());
    EXPECT_TRUE(out.is_bad());
    EXPECT_EQ(out.write_byte(4), 1);  // still room in the buffer
}

// A late request for the next number, left over from an earlier channel with
// this number, confirms nothing: the block was never sent. (Before, the
// first flush returned true having sent nothing.)
TEST(ChannelOutput, ARequestForTheNextNumberConfirmsOnlyABlockThatWasSent) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    peer.ask(1);                                    // stale: block 0 never went out
    peer.command(BlockProtocol::cmd_block_ack, 0);  // as stale
    out.set_timeout(50);
    out.write_byte(7);
    EXPECT_FALSE(out.flush());
    EXPECT_TRUE(peer.blocks().empty());
    peer.confirm_each = true;
    peer.ask(0);
    EXPECT_TRUE(out.flush());
    ASSERT_EQ(peer.blocks().size(), 1u);
    EXPECT_EQ(peer.blocks()[0].payload, Bytes{7});
}

// A raised flag with nothing queued (what stop() leaves on every channel) is
// no failure: the flush waits for the peer. (Before, it returned false at
// once.)
TEST(ChannelOutput, AWakeUpWithNothingQueuedIsNoFailure) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    peer.engine.wake_channels();
    peer.confirm_each = true;
    out.write_byte(9);
    std::thread asker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.ask(0);
    });
    EXPECT_TRUE(out.flush());
    asker.join();
    ASSERT_EQ(peer.blocks().size(), 1u);
    EXPECT_EQ(peer.blocks()[0].payload, Bytes{9});
}

// Bytes written after a flush that sent its block and then failed do not join
// that block: the peer may hold it as sent, and its confirmation would count
// them delivered. (Before, they joined it and were lost on confirmation.)
TEST(ChannelOutput, ABlockOnceSentIsNotAddedTo) {
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    out.set_timeout(30);
    const Bytes first = bytes_of(100, 1);
    const Bytes second = bytes_of(50, 200);
    peer.ask(0);
    EXPECT_EQ(out.write(first.data(), 100), 100);
    EXPECT_FALSE(out.flush());                   // block 0 went out; no confirmation yet
    EXPECT_EQ(out.write(second.data(), 50), 0);  // block 0 unsettled: nothing taken
    peer.confirm_each = true;
    peer.ask(1);  // confirms block 0 as sent
    EXPECT_EQ(out.write(second.data(), 50), 50);
    EXPECT_TRUE(out.flush());
    Bytes delivered;
    int next = 0;
    for (const SentBlock& b : peer.blocks()) {
        if (b.number != next) continue;  // a block sent again
        delivered.insert(delivered.end(), b.payload.begin(), b.payload.end());
        ++next;
    }
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(delivered, all);
}

// A stop that wakes a waiting flush together with a request the flush then
// consumes: the flush looks at the link again before it waits on. (Before,
// it cleared the wake-up with the request and waited for ever.)
TEST(ChannelOutput, AFlushSeesAStopThatCameWithARequest) {
    zorbel::testing::Watchdog watchdog(std::chrono::seconds(30), "flush after a stop");
    Peer peer;
    ChannelOutput out(&peer.engine, kId);
    out.write_byte(1);
    std::thread peer_side([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the flush is waiting
        peer.transport.finish();
        peer.engine.wake_channels();
        peer.ask(5);  // stale: consumed, nothing sent
    });
    EXPECT_FALSE(out.flush());
    peer_side.join();
    EXPECT_TRUE(peer.blocks().empty());
}

// A flush woken by a request it consumes looks at the state and the link
// again before it waits: a cmd_delete or a stop arriving at that moment ends
// it. Many rounds, each bounded, with the wake-up racing the request.
TEST(ChannelOutput, AFlushSeesADeleteOrAStopThatRacesARequest) {
    zorbel::testing::Watchdog watchdog(std::chrono::seconds(120), "flush racing a delete or a stop");
    for (int round = 0; round < 300; ++round) {
        Peer peer;
        auto out = std::make_unique<ChannelOutput>(&peer.engine, kId);
        out->write_byte(1);
        const bool by_stop = round % 2 == 1;
        std::thread peer_side([&] {
            peer.ask(5);  // stale: consumed, nothing sent
            if (by_stop) {
                peer.transport.finish();
                peer.engine.wake_channels();
            } else {
                peer.command(BlockProtocol::cmd_delete, 0);
            }
        });
        EXPECT_FALSE(out->flush()) << "round " << round;
        peer_side.join();
    }
}

// --- the rest of a write sent on delivery --------------------------------
//
// Over a transport whose flush never waits for the peer, the thread that
// delivers the peer's request for the next block sends that block in the
// place of a writer asleep in write() for the confirmation of the last one.
// Here the test's own thread delivers, so what went out during a delivery is
// on record when the delivery returns.

namespace {

class OfferingOutput : public ChannelOutput {
public:
    using ChannelOutput::ChannelOutput;
    bool offering() {
        Critical critical;
        return write_rest.bytes != nullptr;
    }
};

class WriteRestRig {
public:
    explicit WriteRestRig(bool flush_waits, long timeout_ms = 10000) {
        peer.transport.set_flush_waits_for_peer(flush_waits);
        peer.transport.set_on_transfer([this](const Bytes& t) {
            if (t[2] != BlockProtocol::blk_data) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                senders_.push_back(std::this_thread::get_id());
            }
            if (peer.confirm_each.load()) peer.ask(static_cast<unsigned char>(t[4] + 1));
        });
        out.set_timeout(timeout_ms);
    }
    ~WriteRestRig() {
        if (writer_.joinable()) writer_.join();
    }

    void write_async(const Bytes& data) {
        writer_ =
            std::thread([this, &data] { written_ = out.write(data.data(), static_cast<long>(data.size())); });
    }
    // Returns once `blocks` data blocks are out and, if `offered`, the
    // writer sleeps with the rest of its write offered.
    void await_blocks(std::size_t blocks, bool offered = true) {
        zorbel::testing::Watchdog watchdog(std::chrono::seconds(10), "the writer's blocks");
        while (!((!offered || out.offering()) && senders().size() == blocks)) std::this_thread::yield();
    }
    long join_writer() {
        writer_.join();
        return written_;
    }
    std::vector<std::thread::id> senders() {
        std::lock_guard<std::mutex> lock(mutex_);
        return senders_;
    }

    Peer peer;
    OfferingOutput out{&peer.engine, kId};

private:
    std::mutex mutex_;
    std::vector<std::thread::id> senders_;
    std::thread writer_;
    long written_ = 0;
};

}  // namespace

TEST(ChannelOutputSentOnDelivery, WholeBlocksLeaveFromTheDeliveryOnlyIfFlushNeverWaits) {
    const Bytes data = bytes_of(3 * 512 + 100, 7);
    for (bool flush_waits : {false, true}) {
        SCOPED_TRACE(flush_waits ? "flush may wait for the peer" : "flush never waits");
        WriteRestRig rig(flush_waits);
        rig.write_async(data);
        rig.peer.ask(0);
        for (unsigned char n = 1; n <= 2; ++n) {
            rig.await_blocks(n);
            rig.peer.ask(n);
        }
        // 100 bytes are left: too few for a block of their own, they stay in
        // the buffer for the writer, which is woken by the confirmation.
        rig.await_blocks(3, false);
        rig.peer.ask(3);
        EXPECT_EQ(rig.join_writer(), static_cast<long>(data.size()));

        // The same blocks either way; only the thread that sent 1 and 2
        // differs.
        const auto blocks = rig.peer.blocks();
        ASSERT_EQ(blocks.size(), 3u);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].number, static_cast<int>(i));
            EXPECT_EQ(blocks[i].payload, Bytes(data.begin() + static_cast<long>(i * 512),
                                               data.begin() + static_cast<long>((i + 1) * 512)));
        }
        const auto senders = rig.senders();
        EXPECT_NE(senders[0], std::this_thread::get_id());
        EXPECT_EQ(senders[1] == std::this_thread::get_id(), !flush_waits);
        EXPECT_EQ(senders[2] == std::this_thread::get_id(), !flush_waits);
        rig.peer.confirm_each = true;
        EXPECT_TRUE(rig.out.flush());
        ASSERT_EQ(rig.peer.blocks().size(), 4u);
        EXPECT_EQ(rig.peer.blocks()[3].payload, Bytes(data.end() - 100, data.end()));
    }
}

// The writer's time-out limits the wait for each block from its sending, as
// it does for blocks the writer sends itself: a write of many blocks that
// are each confirmed in time succeeds however long it takes in all.
TEST(ChannelOutputSentOnDelivery, TheTimeOutRunsFromEachBlocksSending) {
    const Bytes data = bytes_of(6 * 512 + 1, 3);
    WriteRestRig rig(false, 200);
    rig.write_async(data);
    rig.peer.ask(0);
    for (unsigned char n = 1; n <= 6; ++n) {
        rig.await_blocks(n);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rig.peer.ask(n);
    }
    EXPECT_EQ(rig.join_writer(), static_cast<long>(data.size()));
    EXPECT_EQ(rig.peer.blocks().size(), 6u);
}

// A write that fails after the delivery sent blocks for it counts those
// bytes as written, the last block (sent, not confirmed) included, as when
// the writer sends them itself: a caller that writes the rest again must not
// send them twice.
TEST(ChannelOutputSentOnDelivery, AFailedWriteCountsTheBlocksSentForIt) {
    const Bytes data = bytes_of(5 * 512, 9);
    for (int ending : {0, static_cast<int>(BlockProtocol::cmd_delete)}) {
        SCOPED_TRACE(ending == 0 ? "silent peer" : "peer's delete");
        WriteRestRig rig(false, 100);
        rig.write_async(data);
        rig.peer.ask(0);
        for (unsigned char n = 1; n <= 2; ++n) {
            rig.await_blocks(n);
            rig.peer.ask(n);
        }
        rig.await_blocks(3);
        if (ending != 0) rig.peer.command(ending, 0);
        EXPECT_EQ(rig.join_writer(), 3 * 512);
        EXPECT_EQ(rig.peer.blocks().size(), 3u);
    }
}

TEST(ChanStreams, NumberIsTakenModulo256AndTheLastRegisteredWins) {
    RecordingTransport transport;
    BlockDriver engine("", &transport);
    engine.link_check.store(false);
    auto first = std::make_unique<ChanOutput>(&engine, 0x105ul);
    EXPECT_EQ(first->get_id(), 5);
    EXPECT_EQ(engine.get_channel(5), static_cast<FormalChannel*>(first.get()));
    ChanInput second(&engine, 5ul);
    EXPECT_EQ(engine.get_channel(5), static_cast<FormalChannel*>(&second));
    first.reset();  // leaves the slot empty, whoever held it
    EXPECT_EQ(engine.get_channel(5), nullptr);
}

TEST(ChanStreams, DeletingThroughTheBaseSendsOneDelete) {
    RecordingTransport transport;
    BlockDriver engine("", &transport);
    engine.link_check.store(false);
    Input* in = new ChanInput(&engine, 7ul);
    IO* out = new ChanOutput(&engine, 8ul);
    delete in;
    delete out;
    const auto transfers = transport.transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0], frame_command(7, BlockProtocol::cmd_delete, 0));
    EXPECT_EQ(transfers[1], frame_command(8, BlockProtocol::cmd_delete, 0));
    EXPECT_EQ(engine.get_channel(7), nullptr);
    EXPECT_EQ(engine.get_channel(8), nullptr);
}
