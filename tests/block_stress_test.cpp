// Channels created and destroyed on one thread while another streams blocks
// into them: run under ThreadSanitizer and AddressSanitizer, a delivery that
// touches a channel after its destructor began shows up as a race or a
// use-after-free.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "block/recording_transport.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

using zorbel::testing::Bytes;
using zorbel::testing::RecordingTransport;
using zorbel::testing::frame_block;
using zorbel::testing::frame_command;

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
            case 0: b = frame_command(ch, BlockProtocol::cmd_next_block, static_cast<unsigned char>(i)); break;
            case 1: b = frame_command(ch, rng() % 2 ? BlockProtocol::cmd_delete : BlockProtocol::cmd_reset, 0); break;
            default: b = frame_block(BlockProtocol::blk_data, ch, static_cast<unsigned char>(rng() % 3),
                                     Bytes(rng() % 513, static_cast<unsigned char>(i))); break;
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
                chunk.assign(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + n));
                // A refused chunk is handed in again, as a reader thread does.
                while (!bd.dispatch_block_callback(chunk.data(), static_cast<unsigned>(n))) {
                    refused.fetch_add(1);
                    if (stop.load()) return;
                    std::this_thread::yield();
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
            case 0: live[k] = std::make_unique<Churned>(&bd, static_cast<unsigned char>(k)); break;
            case 1: live[k].reset(); break;
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
