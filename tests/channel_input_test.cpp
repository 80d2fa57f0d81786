// The input stream against a scripted peer: the peer answers each request for
// a block it holds with that block, from the flushing thread, so the exchange
// is exact and needs no sleeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "block/testing/recording_transport.h"
#include "fixtures/watchdog.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::frame_block;
using zorbel::testing::frame_command;
using zorbel::testing::RecordingTransport;

namespace {

constexpr unsigned char kId = 9;

struct Request {
    int command;
    int arg;
    std::chrono::steady_clock::time_point at;
};

// A peer that answers requests for the blocks it was given.
class ScriptedPeer {
public:
    ScriptedPeer() : engine("", &transport) {
        engine.link_check.store(false);
        engine.connected.store(true);
        transport.set_on_transfer([this](const Bytes& t) { on_transfer(t); });
    }

    void offer(int block_no, const Bytes& payload) {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_[block_no] = payload;
    }
    void push(const Bytes& bytes) { ASSERT_TRUE(zorbel::testing::push_chunk(engine, bytes)); }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::vector<int> requested_numbers() {
        std::vector<int> v;
        for (const Request& r : requests()) v.push_back(r.arg);
        return v;
    }

    RecordingTransport transport;
    BlockDriver engine;

private:
    void on_transfer(const Bytes& t) {
        ASSERT_GE(t.size(), 11u);
        ASSERT_EQ(t[2], BlockProtocol::blk_command);
        Bytes answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back({t[7], t[8], std::chrono::steady_clock::now()});
            if (t[7] != BlockProtocol::cmd_next_block) return;
            auto it = blocks_.find(t[8]);
            if (it == blocks_.end()) return;
            answer = frame_block(BlockProtocol::blk_data, t[3], t[8], it->second);
            blocks_.erase(it);  // answered once; a repeat request goes unanswered
        }
        push(answer);
    }

    std::mutex mutex_;
    std::map<int, Bytes> blocks_;
    std::vector<Request> seen_;
};

Bytes bytes_of(std::size_t n, unsigned char start) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(start + i);
    return b;
}

}  // namespace

TEST(ChannelInput, SilentPeerWithTimeoutAsksTenTimesThenFails) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    in.set_timeout(1000);
    const auto start = std::chrono::steady_clock::now();
    unsigned char buf[10];
    EXPECT_EQ(in.read(buf, sizeof buf), 0);
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 10u);
    for (const Request& r : requests) {
        EXPECT_EQ(r.command, BlockProtocol::cmd_next_block);
        EXPECT_EQ(r.arg, 0);
    }
    // The first request waits out the retry interval since construction.
    EXPECT_GE(requests[0].at - start, std::chrono::milliseconds(90));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

    // After a failure the stream asks at once, every 100 ms.
    in.set_timeout(200);
    EXPECT_EQ(in.read_byte(), -1);
    EXPECT_EQ(peer.requests().size(), 12u);
    EXPECT_TRUE(in.is_good());
}

TEST(ChannelInput, WithoutTimeoutAsksEvery100MsUntilTheLinkFinishes) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    long result = 99;
    std::thread reader([&] {
        unsigned char buf[4];
        result = in.read(buf, sizeof buf);
    });
    ASSERT_TRUE(peer.transport.wait_for_transfers(3, 5000));
    peer.transport.done();
    reader.join();
    EXPECT_EQ(result, 0);
    const auto requests = peer.requests();
    ASSERT_GE(requests.size(), 3u);
    // No first wait with no time-out; then one request per 100 ms slice.
    EXPECT_GE(requests[2].at - requests[0].at, std::chrono::milliseconds(190));
    for (const Request& r : requests) EXPECT_EQ(r.arg, 0);
}

// The unlimited wait: a fresh stream asks at once; a fetch whose block was
// asked for ahead does not ask again at once (that sent every block twice),
// but soon enough to make good a lost block or request (the classic
// time-out 0 waited the flowing 5 s), and then ever less often.
TEST(ChannelInput, UnlimitedWaitAsksAheadOnceThenSoonThenLessOften) {
    using std::chrono::milliseconds;
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    in.set_unlimited_wait(true);
    in.set_timeout(1);  // not looked at
    peer.offer(0, bytes_of(512, 0));
    unsigned char buf[512];
    ASSERT_EQ(in.read(buf, 512), 512);
    EXPECT_EQ(peer.requested_numbers(), (std::vector<int>{0, 1}));  // at once, then ahead

    // Block 1 is lost: the peer has nothing to answer with.
    const auto start = std::chrono::steady_clock::now();
    long result = 99;
    std::thread reader([&] { result = in.read(buf, 1); });
    ASSERT_TRUE(peer.transport.wait_for_transfers(2 + 4, 10000));
    peer.push(frame_command(kId, BlockProtocol::cmd_delete, 0));  // ends the wait
    reader.join();
    EXPECT_EQ(result, 0);
    const auto requests = peer.requests();
    ASSERT_GE(requests.size(), 6u);
    for (std::size_t k = 1; k < requests.size(); ++k) EXPECT_EQ(requests[k].arg, 1) << k;
    EXPECT_GE(requests[2].at - start, milliseconds(45));
    EXPECT_LT(requests[2].at - start, milliseconds(2000));  // generous: far from 5 s
    for (std::size_t k = 3; k < 6; ++k)                     // 100, 200, 400 ms apart
        EXPECT_GE(requests[k].at - requests[k - 1].at, milliseconds(100 << (k - 3)) - milliseconds(5)) << k;
}

TEST(ChannelInput, ReadsAcrossBlocksAndAsksAheadForEach) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    const Bytes a = bytes_of(512, 0), b = bytes_of(488, 100);
    peer.offer(0, a);
    peer.offer(1, b);
    unsigned char buf[1000];
    ASSERT_EQ(in.read(buf, 1000), 1000);
    EXPECT_EQ(Bytes(buf, buf + 512), a);
    EXPECT_EQ(Bytes(buf + 512, buf + 1000), b);
    // 0: the first fetch asks; 1 and 2: each taken block is confirmed by the
    // request for the next one, which also brought block 1 without another ask.
    EXPECT_EQ(peer.requested_numbers(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(in.read(buf, 0), 0);
    EXPECT_EQ(peer.requests().size(), 3u);
}

TEST(ChannelInput, EmptyBlockEndsTheReadInProgress) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, bytes_of(3, 1));
    peer.offer(1, {});
    peer.offer(2, bytes_of(2, 50));
    unsigned char buf[10];
    EXPECT_EQ(in.read(buf, 10), 3);
    EXPECT_EQ(in.read(buf, 2), 2);
    EXPECT_EQ(buf[0], 50);
    // Block 1 was confirmed by the request for 2.
    const auto numbers = peer.requested_numbers();
    EXPECT_EQ(numbers.front(), 0);
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), 2), numbers.end());
}

TEST(ChannelInput, BlockNumbersWrapAfter255) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    for (int i = 0; i < 256; ++i) peer.offer(i, {static_cast<unsigned char>(i)});
    for (int i = 0; i < 256; ++i) ASSERT_EQ(in.read_byte(), i);
    peer.offer(0, {0xAB});
    EXPECT_EQ(in.read_byte(), 0xAB);
    const auto numbers = peer.requested_numbers();
    ASSERT_GE(numbers.size(), 257u);
    EXPECT_EQ(numbers[256], 0);  // asked for 0 after taking 255
}

TEST(ChannelInput, FlagRaisedByACommandDoesNotEndTheWait) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, {1});
    ASSERT_EQ(in.read_byte(), 1);  // expecting block 1 now
    // A command addressed to this number raises the flag while the stream
    // waits; the stream must clear it and ask again, not take a stale block.
    in.set_timeout(300);
    peer.push(frame_command(kId, BlockProtocol::cmd_block_ack, 7));
    EXPECT_EQ(in.read_byte(), -1);
    const auto numbers = peer.requested_numbers();
    EXPECT_GE(std::count(numbers.begin(), numbers.end(), 1), 2);
    peer.offer(1, {2});
    in.set_timeout(0);
    EXPECT_EQ(in.read_byte(), 2);  // the repeated request brings block 1
}

TEST(ChannelInput, CommandBeforeTheFirstBlockIsNoBlock) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.push(frame_command(kId, BlockProtocol::cmd_block_ack, 7));
    peer.offer(0, {0x31});
    EXPECT_EQ(in.read_byte(), 0x31);
    EXPECT_EQ(peer.requested_numbers(), (std::vector<int>{0, 1}));
}

TEST(ChannelInput, CommandAfterAPeersResetIsNoStaleBlock) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, {0x41});
    ASSERT_EQ(in.read_byte(), 0x41);  // block 0 taken; "last received" is 0
    // The peer starts the channel over (expected back to 0) and then a
    // command raises the flag: the old buffer must not come back as block 0.
    peer.push(frame_command(kId, BlockProtocol::cmd_reset, 0));
    peer.push(frame_command(kId, BlockProtocol::cmd_block_ack, 3));
    in.set_timeout(200);
    EXPECT_EQ(in.read_byte(), -1);
    peer.offer(0, {0x42});
    in.set_timeout(0);
    EXPECT_EQ(in.read_byte(), 0x42);  // the new session's real block 0
}

TEST(ChannelInput, FinishedLinkFailsEvenWithBytesLeft) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, bytes_of(10, 0));
    ASSERT_EQ(in.read_byte(), 0);
    peer.transport.done();
    unsigned char buf[4];
    EXPECT_EQ(in.read(buf, 4), -1);
    EXPECT_EQ(in.read_byte(), -1);

    ChannelInput unattached(nullptr, 3);
    EXPECT_EQ(unattached.read(buf, 4), -1);
    EXPECT_FALSE(unattached.call_next_block());
}

TEST(ChannelInput, PeersDeleteFailsTheStreamAfterItsBlock) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, bytes_of(4, 10));
    ASSERT_EQ(in.read_byte(), 10);
    peer.push(frame_command(kId, BlockProtocol::cmd_delete, 0));
    EXPECT_TRUE(in.is_bad());
    EXPECT_EQ(in.get_flags(), 1);
    unsigned char buf[10];
    EXPECT_EQ(in.read(buf, 10), 3);  // what the current block still held
    EXPECT_EQ(in.read(buf, 10), 0);
    EXPECT_EQ(in.read_byte(), -1);
}

TEST(ChannelInput, WordsDwordsAndStrings) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x61, 0x62, 0x00, 0x63, 'a', 'b', 'c', 'd', 'e', 'f'});
    EXPECT_EQ(in.read_word(), 0x1234);
    EXPECT_EQ(in.read_dword(), 0x12345678ul);
    char s[8] = "xxxxxxx";
    EXPECT_EQ(in.read_string(s, 5), 2u);
    EXPECT_STREQ(s, "ab");
    EXPECT_EQ(in.read_byte(), 0x63);
    EXPECT_EQ(in.read_string(s, 5), 4u);
    EXPECT_STREQ(s, "abcd");
    EXPECT_EQ(in.read_string(s, 1), 0u);
    EXPECT_EQ(s[0], 0);
    s[0] = 'x';
    EXPECT_EQ(in.read_string(s, 0), 0u);  // no room: nothing stored, nothing read
    EXPECT_EQ(s[0], 'x');
    EXPECT_EQ(in.read_byte(), 'e');
}

TEST(ChannelInput, FailedWordReadsFloodWithOnes) {
    ScriptedPeer peer;
    ChannelInput in(&peer.engine, kId);
    peer.offer(0, {0x42});
    in.set_timeout(1);
    // The failed second byte ORs -1 into the value: no trace of 0x42 is left.
    EXPECT_EQ(in.read_word(), 0xFFFF);
}

// --- a block taken for a reader asleep on it --------------------------------
//
// Over a transport whose flush never waits for the peer, the thread that
// delivers the block a reader sleeps for takes it in the reader's place and
// asks for the next one at once. Here the test's own thread delivers, so what
// went out during a delivery is on record when the delivery returns.

namespace {

struct Sent {
    int command;
    int arg;
    std::thread::id by;
};

class OfferingInput : public ChannelInput {
public:
    using ChannelInput::ChannelInput;
    bool offering() { return take_offer.load() == take_offered; }
};

class TakeRig {
public:
    explicit TakeRig(bool flush_waits) : engine_("", &transport_) {
        engine_.link_check.store(false);
        engine_.connected.store(true);
        transport_.set_flush_waits_for_peer(flush_waits);
        transport_.set_on_transfer([this](const Bytes& t) {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back({t[7], t[8], std::this_thread::get_id()});
        });
        // Block 0 taken by the stream itself: the request for 1 is out, and
        // a flowing stream's next fetch sleeps up to 5 s before asking again.
        push(frame_block(BlockProtocol::blk_data, kId, 0, {0xA0}));
        in_.set_timeout(10000);
        EXPECT_EQ(in_.read_byte(), 0xA0);
    }

    OfferingInput& in() { return in_; }
    void push(const Bytes& bytes) { ASSERT_TRUE(zorbel::testing::push_chunk(engine_, bytes)); }
    // Starts a read of 4 bytes on another thread and returns once it sleeps
    // for block 1 with its offer out.
    void read_asleep() {
        reader_ = std::thread([this] {
            unsigned char buf[4];
            const long n = in_.read(buf, sizeof buf);
            got_.assign(buf, buf + std::max(n, 0L));
        });
        zorbel::testing::Watchdog watchdog(std::chrono::seconds(10), "the reader's offer");
        while (!in_.offering()) std::this_thread::yield();
    }
    Bytes join_reader() {
        reader_.join();
        return got_;
    }
    std::vector<Sent> sent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    std::vector<int> requested() {
        std::vector<int> v;
        for (const Sent& s : sent())
            if (s.command == BlockProtocol::cmd_next_block) v.push_back(s.arg);
        return v;
    }

private:
    RecordingTransport transport_;
    BlockDriver engine_;
    std::mutex mutex_;
    std::vector<Sent> sent_;
    std::thread reader_;
    Bytes got_;
    OfferingInput in_{&engine_, kId};
};

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(ChannelInputTakenOnDelivery, NextRequestLeavesFromTheDeliveryOnlyIfFlushNeverWaits) {
    for (bool flush_waits : {false, true}) {
        SCOPED_TRACE(flush_waits ? "flush may wait for the peer" : "flush never waits");
        TakeRig rig(flush_waits);
        rig.read_asleep();
        rig.push(frame_block(BlockProtocol::blk_data, kId, 1, {1, 2, 3, 4}));
        EXPECT_EQ(rig.join_reader(), (Bytes{1, 2, 3, 4}));
        // The same requests either way; only the thread that sent the second
        // differs.
        const std::vector<Sent> sent = rig.sent();
        ASSERT_EQ(rig.requested(), (std::vector<int>{1, 2}));
        EXPECT_EQ(sent[1].by == std::this_thread::get_id(), !flush_waits);
    }
}

// The receive buffer is a spare one once the block has been taken, also while
// the flag that wakes the reader is still set: the next block, arriving before
// the reader is up, is stored and taken by the next fetch without a repeated
// request.
TEST(ChannelInputTakenOnDelivery, NextBlockArrivingBeforeTheReaderWakesIsKept) {
    TakeRig rig(false);
    rig.read_asleep();
    rig.push(concat(frame_block(BlockProtocol::blk_data, kId, 1, {1, 2, 3, 4}),
                    frame_block(BlockProtocol::blk_data, kId, 2, {5, 6, 7, 8})));
    EXPECT_EQ(rig.join_reader(), (Bytes{1, 2, 3, 4}));
    rig.in().set_timeout(300);  // a lost block 2 fails the read instead of waiting 10 s
    unsigned char buf[4];
    ASSERT_EQ(rig.in().read(buf, 4), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(rig.requested(), (std::vector<int>{1, 2, 3}));
}

// A block taken (and confirmed to the peer) before the peer's reset or delete
// arrived is the reader's, as if it had taken it itself just before.
TEST(ChannelInputTakenOnDelivery, PeersResetOrDeleteBeforeTheReaderWakes) {
    for (int command : {BlockProtocol::cmd_reset, BlockProtocol::cmd_delete}) {
        SCOPED_TRACE(command == BlockProtocol::cmd_reset ? "reset" : "delete");
        TakeRig rig(false);
        rig.read_asleep();
        const auto pushed = std::chrono::steady_clock::now();
        rig.push(concat(frame_block(BlockProtocol::blk_data, kId, 1, {1, 2, 3, 4}),
                        frame_command(kId, command, 0)));
        EXPECT_EQ(rig.join_reader(), (Bytes{1, 2, 3, 4}));
        // Woken for it, not at the end of its 5-second first wait.
        EXPECT_LT(std::chrono::steady_clock::now() - pushed, std::chrono::seconds(4));
        if (command == BlockProtocol::cmd_delete) {
            EXPECT_TRUE(rig.in().is_bad());
            EXPECT_EQ(rig.in().read_byte(), -1);
            EXPECT_EQ(rig.requested(), (std::vector<int>{1, 2}));
        } else {
            // Numbering starts over: the peer's new block 0 is the next one.
            rig.push(frame_block(BlockProtocol::blk_data, kId, 0, {9}));
            EXPECT_EQ(rig.in().read_byte(), 9);
            EXPECT_TRUE(rig.in().is_good());
            EXPECT_EQ(rig.requested(), (std::vector<int>{1, 2, 1}));
        }
    }
}
