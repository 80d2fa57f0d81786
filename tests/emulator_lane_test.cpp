#include "emulator/lane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

using zorbel::LaneSettings;
using zorbel::emulator::Lane;

namespace {

std::vector<unsigned char> pattern(std::size_t n, unsigned seed = 0) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + seed);
    return v;
}

// Takes everything queued, chunk by chunk (the lane has no delay).
std::vector<std::vector<unsigned char>> drain(Lane& lane) {
    std::vector<std::vector<unsigned char>> chunks;
    unsigned char buf[Lane::kMaxChunkSize];
    while (lane.queued_bytes() > 0) {
        const long n = lane.take(buf, sizeof buf);
        if (n < 0) break;
        chunks.emplace_back(buf, buf + n);
    }
    return chunks;
}

std::vector<unsigned char> joined(const std::vector<std::vector<unsigned char>>& chunks) {
    std::vector<unsigned char> all;
    for (const auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
}

}  // namespace

TEST(Lane, ChunksStayWithinBoundsAndKeepOrder) {
    struct Case {
        unsigned min, max;
        unsigned lo, hi;  // expected bounds of every chunk but the last
    } cases[] = {{1000, 1000, 1000, 1000}, {1, 7, 1, 7}, {300, 2000, 300, 1000}, {0, 0, 1, 1}};
    for (const Case& c : cases) {
        LaneSettings s;
        s.min_chunk = c.min;
        s.max_chunk = c.max;
        s.seed = 42;
        Lane lane(s);
        const auto a = pattern(5000, 1), b = pattern(3001, 2);
        ASSERT_TRUE(lane.send(a.data(), a.size()));
        ASSERT_TRUE(lane.send(b.data(), b.size()));
        const auto chunks = drain(lane);
        ASSERT_FALSE(chunks.empty());
        for (std::size_t i = 0; i + 1 < chunks.size(); ++i) {
            EXPECT_GE(chunks[i].size(), c.lo) << c.min << ".." << c.max;
            EXPECT_LE(chunks[i].size(), c.hi) << c.min << ".." << c.max;
        }
        auto expect = a;
        expect.insert(expect.end(), b.begin(), b.end());
        EXPECT_EQ(joined(chunks), expect) << c.min << ".." << c.max;
        EXPECT_EQ(lane.stats().bytes, expect.size());
        EXPECT_EQ(lane.stats().chunks, chunks.size());
    }
}

TEST(Lane, TakeIsLimitedByTheCallersBuffer) {
    Lane lane;
    const auto a = pattern(100);
    lane.send(a.data(), a.size());
    unsigned char buf[30];
    EXPECT_EQ(lane.take(buf, 30), 30);
    EXPECT_EQ(lane.take(buf, 0), -1);
    EXPECT_EQ(lane.queued_bytes(), 70u);
}

TEST(Lane, SameSeedSameFaultsAndChunks) {
    LaneSettings s;
    s.min_chunk = 1;
    s.max_chunk = 1000;
    s.corrupt_byte = 0.01;
    s.drop_transfer = 0.2;
    s.duplicate_transfer = 0.2;
    s.seed = 7;
    auto run = [](const LaneSettings& settings) {
        Lane lane(settings);
        for (unsigned i = 0; i < 50; ++i) {
            const auto t = pattern(523, i);
            lane.send(t.data(), t.size());
        }
        return std::make_pair(drain(lane), lane.stats());
    };
    const auto first = run(s), second = run(s);
    EXPECT_EQ(first.first, second.first);
    EXPECT_EQ(first.second.corrupted_bytes, second.second.corrupted_bytes);
    EXPECT_EQ(first.second.dropped_transfers, second.second.dropped_transfers);
    EXPECT_EQ(first.second.duplicated_transfers, second.second.duplicated_transfers);
    // The odds are large enough that each fault shows up in 50 transfers.
    EXPECT_GT(first.second.corrupted_bytes, 0u);
    EXPECT_GT(first.second.dropped_transfers, 0u);
    EXPECT_GT(first.second.duplicated_transfers, 0u);
    const std::size_t expected_bytes =
        523 * (50 - first.second.dropped_transfers + first.second.duplicated_transfers);
    EXPECT_EQ(joined(first.first).size(), expected_bytes);

    s.seed = 8;
    EXPECT_NE(run(s).first, first.first);
}

TEST(Lane, CorruptionAtCertaintyChangesEveryByte) {
    LaneSettings s;
    s.corrupt_byte = 1;
    Lane lane(s);
    const auto a = pattern(600);
    lane.send(a.data(), a.size());
    const auto got = joined(drain(lane));
    ASSERT_EQ(got.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NE(got[i], a[i]) << i;
    EXPECT_EQ(lane.stats().corrupted_bytes, 600u);
}

TEST(Lane, DelayHoldsBytesBack) {
    LaneSettings s;
    s.delay_us = 30000;
    Lane lane(s);
    const auto a = pattern(10);
    const auto start = std::chrono::steady_clock::now();
    lane.send(a.data(), a.size());
    unsigned char buf[100];
    EXPECT_EQ(lane.take(buf, sizeof buf), 10);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

// The lane ends its timed waits early by the lateness it has learnt and
// yields for the rest: never so early that a transfer arrives before its
// delay is over, also once it has learnt.
TEST(Lane, ShortDelaysAreNeverCutShort) {
    LaneSettings s;
    s.delay_us = 300;
    Lane lane(s);
    const auto a = pattern(10);
    unsigned char buf[100];
    for (int i = 0; i < 40; ++i) {
        const auto start = std::chrono::steady_clock::now();
        lane.send(a.data(), a.size());
        ASSERT_EQ(lane.take(buf, sizeof buf), 10);
        ASSERT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(300)) << i;
    }
}

TEST(Lane, CancelEndsOneTakeEvenWhenItComesFirst) {
    Lane lane;
    unsigned char buf[10];
    // Before the take: sticky, consumed once.
    lane.cancel_take();
    lane.cancel_take();
    EXPECT_EQ(lane.take(buf, sizeof buf), -1);
    const auto a = pattern(5);
    lane.send(a.data(), a.size());
    EXPECT_EQ(lane.take(buf, sizeof buf), 5);

    // During the take.
    std::atomic<long> result{0};
    std::thread taker([&] { result = lane.take(buf, sizeof buf); });
    lane.cancel_take();
    taker.join();
    EXPECT_EQ(result.load(), -1);
    lane.send(a.data(), a.size());
    EXPECT_EQ(lane.take(buf, sizeof buf), 5);
}

TEST(Lane, CloseFailsTakesAndSendsUntilReopened) {
    Lane lane;
    unsigned char buf[10];
    std::atomic<long> result{0};
    std::thread taker([&] { result = lane.take(buf, sizeof buf); });
    lane.close();
    taker.join();
    EXPECT_EQ(result.load(), -1);
    const auto a = pattern(5);
    EXPECT_FALSE(lane.send(a.data(), a.size()));
    EXPECT_EQ(lane.take(buf, sizeof buf), -1);
    EXPECT_TRUE(lane.is_closed());

    lane.reopen();
    EXPECT_TRUE(lane.send(a.data(), a.size()));
    EXPECT_EQ(lane.take(buf, sizeof buf), 5);
}

TEST(Lane, PushModeOffersARefusedChunkAgain) {
    LaneSettings s;
    s.min_chunk = s.max_chunk = 100;
    Lane lane(s);
    std::mutex m;
    std::vector<unsigned char> got;
    std::atomic<int> refusals{0};
    lane.start([&](const unsigned char* data, unsigned len) {
        // Refuse every third offer to stand in for a changing channel table.
        if (refusals.fetch_add(1) % 3 == 0) return false;
        std::lock_guard<std::mutex> lock(m);
        got.insert(got.end(), data, data + len);
        return true;
    });
    const auto a = pattern(5000, 3);
    for (std::size_t off = 0; off < a.size(); off += 500) lane.send(a.data() + off, 500);
    for (int i = 0; i < 10000; ++i) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (got.size() == a.size()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    lane.close();
    EXPECT_EQ(got, a);
    EXPECT_EQ(lane.take(got.data(), 1), -1);  // push mode has no takes
}
