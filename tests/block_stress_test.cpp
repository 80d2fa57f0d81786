// Channels created and destroyed on one thread while another streams blocks
// into them: run under ThreadSanitizer and AddressSanitizer, a delivery that
// touches a channel after its destructor began shows up as a race or a
// use-after-free.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "block/testing/recording_transport.h"
#include "fixtures/watchdog.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::frame_block;
using zorbel::testing::frame_command;
using zorbel::testing::RecordingTransport;

namespace {

constexpr int kChannels = 8;

struct StateWord {
    std::atomic<int> word{0};
};

// Overrides the virtual state operations, as the streams do, so that a
// virtual call from the delivering thread into a channel under construction
// or destruction would be seen.
class Churned : public StateWord, public FormalChannel {
public:
    Churned(BlockDriver* bd, unsigned char id) : FormalChannel(bd, id, &word) {}
    ~Churned() override { unregister(); }
    // What a reader does with a delivered block: look at it, then free the
    // channel for the next one. Inside protocol_critical: the peer's cmd_reset
    // clears the flag from the delivering thread (under that lock), and
    // without it the receiver could start writing the next payload into the
    // buffer still being read here.
    void take() {
        Critical critical;
        if (waits_for_data()) return;
        volatile unsigned char sink = 0;
        for (int i = 0; i < received_length.load(); ++i) sink = sink + receive_buffer[i];
        expected_block = static_cast<unsigned char>(expected_block + 1);
        flag.clear();
    }
    // Empties the command queue; the caller holds protocol_critical.
    void drain() {
        queue_count = 0;
        flag.clear();
    }

protected:
    int update_state(int s) override { return FormalChannel::update_state(s); }
    int return_state() override { return FormalChannel::return_state(); }
};

}  // namespace

TEST(BlockStress, ChannelsComeAndGoWhileBlocksStreamIn) {
    RecordingTransport wire;
    BlockDriver bd("", &wire);
    bd.link_check = false;
    bd.connected = true;

    // Blocks on every channel: data with low block numbers, commands
    // (including delete and reset, which write the state word).
    Bytes stream;
    std::mt19937 rng(11);
    for (int i = 0; i < 400; ++i) {
        auto ch = static_cast<unsigned char>(i % kChannels);
        Bytes b;
        switch (rng() % 6) {
            case 0:
                b = frame_command(ch, BlockProtocol::cmd_next_block, static_cast<unsigned char>(i));
                break;
            case 1:
                b = frame_command(ch, rng() % 2 ? BlockProtocol::cmd_delete : BlockProtocol::cmd_reset, 0);
                break;
            default:
                b = frame_block(BlockProtocol::blk_data, ch, static_cast<unsigned char>(rng() % 3),
                                Bytes(rng() % 513, static_cast<unsigned char>(i)));
                break;
        }
        stream.insert(stream.end(), b.begin(), b.end());
    }

    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0}, refused{0};
    std::thread feeder([&] {
        std::mt19937 r(3);
        Bytes chunk;
        while (!stop.load()) {
            for (std::size_t pos = 0; pos < stream.size() && !stop.load();) {
                std::size_t n = std::min<std::size_t>(1 + r() % 1000, stream.size() - pos);
                chunk.assign(stream.begin() + static_cast<long>(pos),
                             stream.begin() + static_cast<long>(pos + n));
                // A refused chunk is handed in again, as a reader thread does.
                for (unsigned int refusals = 0;
                     !bd.dispatch_block_callback(chunk.data(), static_cast<unsigned>(n)); ++refusals) {
                    refused.fetch_add(1);
                    if (stop.load()) return;
                    bd.await_dispatch(refusals);
                }
                accepted.fetch_add(1);
                pos += n;
            }
        }
    });

    std::mt19937 r(5);
    std::vector<std::unique_ptr<Churned>> live(kChannels);
    // Churn until both sides have done a fair amount while the other ran.
    long rounds = 0;
    for (long round = 0; round < 20000 || accepted.load() < 20000; ++round, ++rounds) {
        int k = static_cast<int>(r() % kChannels);
        switch (r() % 3) {
            case 0:
                live[k] = std::make_unique<Churned>(&bd, static_cast<unsigned char>(k));
                break;
            case 1:
                live[k].reset();
                break;
            default:
                if (live[k]) live[k]->take();
                break;
        }
        if (round % 500 == 0) wire.clear_transfers();
    }
    live.clear();
    stop = true;
    feeder.join();
    RecordProperty("rounds", static_cast<int>(rounds));
    RecordProperty("accepted", static_cast<int>(accepted.load()));
    RecordProperty("refused", static_cast<int>(refused.load()));
    for (int k = 0; k < kChannels; ++k) EXPECT_EQ(bd.get_channel(k), nullptr);
}

// A client that holds the critical section while it makes and destroys
// channels, as clients are told they may, while commands keep arriving for
// another channel of the same engine: delivering a command needs the
// critical section, so a table change must not wait, inside it, for a lock
// that delivery holds. (Deadlocked within a few rounds before: the table
// change waited for the dispatch lock that the delivering thread held while
// it waited for the critical section.)
TEST(BlockStress, TableChangesInsideTheCriticalSectionWhileCommandsArrive) {
    zorbel::testing::Watchdog watchdog(std::chrono::seconds(60), "table changes inside the critical section");
    RecordingTransport wire;
    BlockDriver bd("", &wire);
    bd.link_check = false;
    bd.connected = true;
    Churned listener(&bd, 1);

    std::atomic<bool> stop{false};
    std::atomic<long> delivered{0};
    std::thread feeder([&] {
        Bytes command = frame_command(1, BlockProtocol::cmd_next_block, 0);
        for (unsigned int refusals = 0; !stop.load();) {
            if (bd.dispatch_block_callback(command.data(), static_cast<unsigned>(command.size()))) {
                refusals = 0;
                delivered.fetch_add(1);
                Critical critical;  // keep the queue from filling, as an output stream would
                listener.drain();
            } else {
                bd.await_dispatch(refusals++);
            }
        }
    });
    for (int round = 0; round < 2000 || delivered.load() < 2000; ++round) {
        Critical critical;
        auto made = std::make_unique<Churned>(&bd, static_cast<unsigned char>(2 + round % 8));
        EXPECT_EQ(bd.get_channel(2 + round % 8), made.get());
        made.reset();
        // Let the feeder in between some rounds, so that deliveries meet
        // table changes both while the section is held and while it is free.
        if (round % 4 == 0) std::this_thread::yield();
    }
    stop = true;
    feeder.join();
    EXPECT_EQ(bd.get_channel(1), &listener);
    for (int k = 2; k < 10; ++k) EXPECT_EQ(bd.get_channel(k), nullptr);
}

// A polled receive that waits for the rest of a block holds the receive lock;
// making a channel meanwhile must not wait for it. (Before, attach took the
// receive lock and waited until the poll had its block.)
class GatedTransport : public RecordingTransport {
public:
    // The first `n` bytes are served at once; the next waits for open().
    explicit GatedTransport(int n) : left_(n) {}
    int hget_byte() override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (left_ == 0) {
                waiting_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return open_; });
            } else {
                --left_;
            }
        }
        return RecordingTransport::hget_byte();
    }
    void wait_until_held() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return waiting_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int left_;
    bool waiting_ = false;
    bool open_ = false;
};

TEST(BlockStress, AttachDoesNotWaitForAPolledBlock) {
    Bytes block = frame_block(BlockProtocol::blk_data, 3, 0, Bytes(100, 7));
    GatedTransport wire(static_cast<int>(7 + 50));  // the header and half the payload
    wire.feed(block);
    BlockDriver bd("", &wire);
    bd.link_check = false;
    bd.connected = true;
    Churned target(&bd, 3);
    std::thread poller([&] { EXPECT_TRUE(bd.dispatch_block()); });
    wire.wait_until_held();

    auto attaching = std::async(std::launch::async, [&] {
        Churned other(&bd, 4);
        return bd.get_channel(4) == &other;
    });
    const bool attached_at_once = attaching.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(attached_at_once) << "attaching a channel waited for a polled block";
    wire.open();
    poller.join();
    EXPECT_TRUE(attaching.get());
    EXPECT_FALSE(target.waits_for_data());  // the polled block arrived whole
}
