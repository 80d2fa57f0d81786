// Streams under a hostile link: chunking, damaged bytes, lost, doubled and
// late transfers, alone and together, on several channels in both directions,
// first between two bare block engines and then through the whole stack (a
// connection with pipes to an emulated device). Whatever the link does, every
// byte arrives exactly once and in order, or the stream says it failed.
//
// Every case runs from a seed that a failure prints; ZORBEL_FAULT_SEED sets
// another base seed to explore (or repeat) other runs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/streams.h"
#include "zorbel/channel.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

using zorbel::LaneSettings;

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t base_seed() {
    const char* s = std::getenv("ZORBEL_FAULT_SEED");
    return s ? std::strtoull(s, nullptr, 0) : 1;
}

std::vector<unsigned char> random_bytes(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& c : v) c = static_cast<unsigned char>(rng());
    return v;
}

// One fault profile, applied to both directions of the link.
struct FaultCase {
    const char* name;
    unsigned min_chunk;
    unsigned max_chunk;
    unsigned delay_us;
    double corrupt_byte;
    double drop_transfer;
    double duplicate_transfer;
};

// A full block travels as one transfer of 523 bytes, so a byte rate of
// 0.0002 damages about one block transfer in ten.
const FaultCase kFaultCases[] = {
    {"chunking", 1, 1000, 0, 0, 0, 0},    {"corrupt", 1000, 1000, 0, 0.0002, 0, 0},
    {"drop", 1000, 1000, 0, 0, 0.10, 0},  {"duplicate", 1000, 1000, 0, 0, 0, 0.10},
    {"delay", 1000, 1000, 3000, 0, 0, 0}, {"all_at_once", 1, 700, 500, 0.0002, 0.10, 0.10},
};

LaneSettings lane(const FaultCase& c, std::uint64_t seed) {
    LaneSettings s;
    s.min_chunk = c.min_chunk;
    s.max_chunk = c.max_chunk;
    s.delay_us = c.delay_us;
    s.corrupt_byte = c.corrupt_byte;
    s.drop_transfer = c.drop_transfer;
    s.duplicate_transfer = c.duplicate_transfer;
    s.seed = seed;
    return s;
}

std::string case_name(const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; }

using zorbel::testing::receive_all;
using zorbel::testing::send_all;

// What one stream did, judged by the rule of this suite: either all of it
// arrived exactly, or a side reports failure and what arrived is an exact
// prefix of what was sent. A prefix that is wrong, too long or doubled is
// always a fault; so is a stream that neither finished nor failed.
void judge(const std::vector<unsigned char>& sent, const std::vector<unsigned char>& got, bool send_ok,
           bool failed, const std::string& what) {
    ASSERT_LE(got.size(), sent.size()) << what << ": more bytes than were sent";
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], sent[i]) << what << ": byte " << i << " differs";
    if (!failed) {
        EXPECT_TRUE(send_ok) << what << ": the writer neither finished nor saw a failure";
        EXPECT_EQ(got.size(), sent.size()) << what << ": bytes missing without a failure";
    }
}

// --- two bare engines ---------------------------------------------------------

struct EnginePair {
    EnginePair(const LaneSettings& ab, const LaneSettings& ba)
        : link(ab, ba), a("", &link.a()), b("", &link.b()) {
        for (BlockDriver* e : {&a, &b}) {
            e->link_check.store(false);
            e->connected.store(true);
        }
        link.a().set_input_block_driver(&a);
        link.b().set_input_block_driver(&b);
    }
    ~EnginePair() {
        link.a().set_input_block_driver(nullptr);
        link.b().set_input_block_driver(nullptr);
    }
    zorbel::EmulatedLink link;
    BlockDriver a;
    BlockDriver b;
};

class LinkFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LinkFaults, EveryByteOnceAndInOrderOnEveryChannel) {
    const FaultCase& fc = GetParam();
    const std::uint64_t seed = base_seed() * 1000 + static_cast<std::uint64_t>(&fc - kFaultCases);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (ZORBEL_FAULT_SEED=" + std::to_string(base_seed()) + ")");
    EnginePair pair(lane(fc, seed * 2), lane(fc, seed * 2 + 1));

    // Four channels, two each way, with the short time-outs an application
    // that wants quick recovery sets.
    constexpr int kStreams = 4;
    constexpr std::size_t kBytes = 40000;
    std::vector<std::unique_ptr<ChannelOutput>> outs;
    std::vector<std::unique_ptr<ChannelInput>> ins;
    std::vector<std::vector<unsigned char>> sent(kStreams), got(kStreams);
    std::vector<char> send_ok(kStreams, 0);
    std::vector<std::atomic<bool>> writer_done(kStreams);
    for (int i = 0; i < kStreams; ++i) {
        BlockDriver* writer = i % 2 ? &pair.b : &pair.a;
        BlockDriver* reader = i % 2 ? &pair.a : &pair.b;
        const auto id = static_cast<unsigned char>(40 + i);
        outs.emplace_back(new ChannelOutput(writer, id));
        ins.emplace_back(new ChannelInput(reader, id));
        outs.back()->set_timeout(200);
        ins.back()->set_timeout(50);
        sent[i] = random_bytes(kBytes, seed + 100 + static_cast<std::uint64_t>(i));
        writer_done[i] = false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<std::thread> threads;
    for (int i = 0; i < kStreams; ++i) {
        threads.emplace_back([&, i] {
            send_ok[i] = send_all(*outs[i], sent[i], seed + 200 + static_cast<std::uint64_t>(i), deadline);
            writer_done[i] = true;
        });
        threads.emplace_back([&, i] {
            got[i] = receive_all(*ins[i], kBytes, seed + 300 + static_cast<std::uint64_t>(i), deadline);
            // Keep asking while the writer waits: the confirmation of the
            // last block travels only with the request for the next one.
            unsigned char extra;
            while (!writer_done[i].load() && Clock::now() < deadline) {
                long r = ins[i]->read(&extra, 1);
                if (r > 0) got[i].push_back(extra);  // a byte nobody sent
                if (r < 0) break;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kStreams; ++i)
        judge(sent[i], got[i], send_ok[i] != 0, outs[i]->is_bad() || ins[i]->is_bad(),
              "channel " + std::to_string(40 + i));
    // Nothing failed on a link that only damages transfers.
    for (int i = 0; i < kStreams; ++i) EXPECT_EQ(got[i].size(), kBytes) << "channel " << 40 + i;

    const zorbel::LaneStats ab = pair.link.a_to_b_stats(), ba = pair.link.b_to_a_stats();
    // The faults did happen.
    if (fc.corrupt_byte > 0) {
        EXPECT_GT(ab.corrupted_bytes + ba.corrupted_bytes, 0u);
    }
    if (fc.drop_transfer > 0) {
        EXPECT_GT(ab.dropped_transfers + ba.dropped_transfers, 0u);
    }
    if (fc.duplicate_transfer > 0) {
        EXPECT_GT(ab.duplicated_transfers + ba.duplicated_transfers, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkFaults, ::testing::ValuesIn(kFaultCases), case_name);

// --- the whole stack ------------------------------------------------------------

char pipe_name[] = "fault";

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }

std::string unique_id() {
    char pid[16];
    std::snprintf(pid, sizeof pid, "%06u", static_cast<unsigned>(::getpid()) % 1000000u);
    return std::string("F") + pid;
}

class StackFaults : public ::testing::TestWithParam<FaultCase> {};

// Pipes 1 and 2 echo (both directions at once on each), pipe 3 streams the
// source pattern to the host, pipe 4 sinks what the host sends.
TEST_P(StackFaults, PipesCarryEveryByteOnceAndInOrder) {
    const FaultCase& fc = GetParam();
    const std::uint64_t seed = base_seed() * 1000 + 500 + static_cast<std::uint64_t>(&fc - kFaultCases);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (ZORBEL_FAULT_SEED=" + std::to_string(base_seed()) + ")");

    zorbel::EmulatedBus bus;
    zorbel::EmulatedDeviceSettings settings;
    settings.id = unique_id();
    settings.hardware_id = "ZBFAULT00001";
    zorbel::EmulatedDevice dev = bus.add_device(bus.add_controller(), 1, settings);
    auto tally = std::make_shared<zorbel::SinkTally>();
    dev.bind(1, zorbel::echo_program());
    dev.bind(2, zorbel::echo_program());
    dev.bind(3, zorbel::source_program());
    dev.bind(4, zorbel::sink_program(tally));

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    // Faults only once the connection runs: the start itself is not under test.
    dev.set_link(lane(fc, seed * 2), lane(fc, seed * 2 + 1));
    std::vector<XPipe*> pipes;
    for (unsigned long p = 1; p <= 4; ++p) {
        pipes.push_back(c.get_pipe_factory()->new_pipe(pipe_name, p, 0));
        ASSERT_NE(pipes.back(), nullptr);
        pipes.back()->get_input().set_timeout(50);
        pipes.back()->get_output().set_timeout(200);
    }

    constexpr std::size_t kBytes = 24000;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<std::vector<unsigned char>> sent(3), got(3);
    std::vector<char> send_ok(3, 0);
    std::atomic<std::size_t> sunk_confirmed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        sent[i] = random_bytes(kBytes, seed + 10 + static_cast<std::uint64_t>(i));
        threads.emplace_back([&, i] {
            send_ok[i] =
                send_all(out_of(pipes[i]), sent[i], seed + 20 + static_cast<std::uint64_t>(i), deadline);
        });
        threads.emplace_back([&, i] {
            got[i] = receive_all(pipes[i]->get_input(), kBytes, seed + 30 + static_cast<std::uint64_t>(i),
                                 deadline);
        });
    }
    std::vector<unsigned char> sourced;
    threads.emplace_back([&] { sourced = receive_all(pipes[2]->get_input(), kBytes, seed + 40, deadline); });
    sent[2] = random_bytes(kBytes, seed + 50);
    threads.emplace_back(
        [&] { send_ok[2] = send_all(out_of(pipes[3]), sent[2], seed + 60, deadline, &sunk_confirmed); });
    for (auto& t : threads) t.join();

    for (int i = 0; i < 2; ++i)
        judge(sent[i], got[i], send_ok[i] != 0, pipes[i]->is_bad(), "echo pipe " + std::to_string(i + 1));
    for (std::size_t k = 0; k < sourced.size(); ++k)
        ASSERT_EQ(sourced[k], zorbel::source_pattern(k)) << "source byte " << k;
    EXPECT_EQ(sourced.size(), kBytes) << "source";
    // The sink: every byte the device confirmed reached it, once, in order.
    ASSERT_TRUE(send_ok[2] != 0) << "sink pipe: " << sunk_confirmed.load() << " bytes confirmed";
    ASSERT_TRUE(tally->wait_for(kBytes, 20000));
    CRC32 crc;
    crc.update(sent[2].data(), static_cast<unsigned long>(kBytes));
    EXPECT_EQ(tally->bytes(), kBytes);
    EXPECT_EQ(tally->crc32(), static_cast<std::uint32_t>(crc.get()));

    for (XPipe* p : pipes) EXPECT_TRUE(p->release());
    EXPECT_TRUE(c.stop());
}

INSTANTIATE_TEST_SUITE_P(Faults, StackFaults, ::testing::ValuesIn(kFaultCases), case_name);

}  // namespace

// A block the device has confirmed is the device's: the host may release the
// pipe the moment its flush returns, and the bytes must still reach the
// device's program. (The host's delete can arrive while the device is still
// between taking the block and handing it over; several pipes at once make
// that moment come up often.)
TEST(StackFaults, ConfirmedBytesReachTheDeviceWhenThePipeIsReleasedAtOnce) {
    zorbel::EmulatedBus bus;
    zorbel::EmulatedDeviceSettings settings;
    settings.id = unique_id();
    zorbel::EmulatedDevice dev = bus.add_device(bus.add_controller(), 1, settings);
    constexpr int kPipes = 6;
    constexpr int kRounds = 40;
    auto tally = std::make_shared<zorbel::SinkTally>();
    for (int p = 1; p <= kPipes; ++p) dev.bind(p, zorbel::sink_program(tally));
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    std::atomic<std::uint64_t> confirmed{0};
    std::vector<std::thread> threads;
    for (unsigned long p = 1; p <= kPipes; ++p) {
        threads.emplace_back([&, p] {
            for (int round = 0; round < kRounds; ++round) {
                XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, p, 0);
                if (!pipe) {
                    ADD_FAILURE() << "pipe " << p << " round " << round;
                    return;
                }
                out_of(pipe).set_timeout(5000);
                const unsigned char bytes[3] = {1, 2, static_cast<unsigned char>(round)};
                const bool flushed = out_of(pipe).write(bytes, 3) == 3 && out_of(pipe).flush();
                EXPECT_TRUE(pipe->release());
                if (flushed) confirmed += 3;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(confirmed.load(), 3u * kPipes * kRounds);
    EXPECT_TRUE(tally->wait_for(confirmed.load(), 5000));
    EXPECT_EQ(tally->bytes(), confirmed.load());
    EXPECT_TRUE(c.stop());
}
