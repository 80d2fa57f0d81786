// How long a stream takes to recover from one lost block, with and without a
// time-out set by the reading application. Two block engines over an
// emulated link; blocks have been flowing (so the reader's request interval
// is the long one), the reader waits in a read, and the one transfer that
// carries the next block is lost. Recovery runs from the block's first
// sending to the moment the reader holds its bytes.
//
// Without a time-out (the stream's unlimited wait, as the modern interface
// reads) the reader asks again 50 ms into its fetch and then at growing
// intervals; with a time-out T the read gives up after T, the application
// reads again, and the new fetch asks again at once. Summary lines:
//   FIGURE recovery_no_timeout <milliseconds> ms
//   FIGURE recovery_timeout_<T>ms <milliseconds> ms
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "bench/throughput_recorder.h"
#include "zorbel/channel.h"
#include "zorbel/emulator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Setup {
    zorbel::EmulatedLink link;
    BlockDriver a{"", &link.a()};
    BlockDriver b{"", &link.b()};
    Setup() {
        for (BlockDriver* e : {&a, &b}) {
            e->link_check.store(false);
            e->connected.store(true);
        }
        link.a().set_input_block_driver(&a);
        link.b().set_input_block_driver(&b);
    }
    ~Setup() {
        link.a().set_input_block_driver(nullptr);
        link.b().set_input_block_driver(nullptr);
    }
};

std::map<long, double> recovery_ms;

void BM_RecoverOneLostBlock(benchmark::State& state) {
    const long timeout = state.range(0);
    Setup s;
    ChannelOutput out(&s.a, 9);
    ChannelInput in(&s.b, 9);
    out.set_timeout(0);
    if (timeout > 0)
        in.set_timeout(timeout);
    else
        in.set_unlimited_wait(true);
    std::vector<unsigned char> block(512, 0x5A), got(512);

    auto read_all = [&] {
        long have = 0;
        while (have < 512) {
            long r = in.read(got.data() + have, 512 - have);
            if (r < 0) return false;
            have += r;  // a read that ended on its time-out is simply repeated
        }
        return true;
    };
    // Blocks flowing: the first fetch succeeds, the interval is the long one.
    std::thread warm([&] { read_all(); });
    out.write(block.data(), 512);
    out.flush();
    warm.join();

    double total_ms = 0;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        Clock::time_point received;
        std::thread reader([&] {
            read_all();
            received = Clock::now();
            done = true;
        });
        // Let the reader settle into its wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::uint64_t dropped = s.link.a_to_b_stats().dropped_transfers;
        zorbel::LaneSettings lossy;
        lossy.drop_transfer = 1.0;
        s.link.set_a_to_b(lossy);
        const Clock::time_point sent = Clock::now();
        std::thread writer([&] {
            out.write(block.data(), 512);
            out.flush();
        });
        // The block leaves at once (its request is already queued); only
        // that sending is lost.
        while (s.link.a_to_b_stats().dropped_transfers == dropped) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        s.link.set_a_to_b(zorbel::LaneSettings());
        writer.join();
        reader.join();
        const double ms = std::chrono::duration<double, std::milli>(received - sent).count();
        state.SetIterationTime(ms / 1000);
        total_ms += ms;
    }
    recovery_ms[timeout] = total_ms / static_cast<double>(state.iterations());
    state.counters["recovery_ms"] = total_ms / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_RecoverOneLostBlock)
    ->Arg(0)
    ->Arg(50)
    ->Arg(200)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;
    for (const auto& r : recovery_ms) {
        if (r.first == 0)
            std::printf("FIGURE recovery_no_timeout %.0f ms\n", r.second);
        else
            std::printf("FIGURE recovery_timeout_%ldms %.0f ms\n", r.first, r.second);
    }
    return 0;
}
