// Channel throughput over the emulated link (no delay, 1000-byte chunks),
// beside two references measured in the same run:
//  - the link's bound: one 15-byte request and one 523-byte block per round
//    trip through two lanes like the link's, replied to straight from the
//    delivery callback (512 payload bytes per round trip);
//  - the two-thread limit: two threads ping-ponging a 512-byte message through
//    a mutex and a condition variable, one wake-up per direction.
// A channel's round trip has four thread hops (reader -> lane -> writer ->
// lane -> reader), the link's bound three and the two-thread limit two, so
// per-channel throughput is set by wake-ups, not by CRC or copying.
// Then 8 and 64 channels at once, each with its own writer and reader thread,
// beside the link's raw one-way throughput that they approach.
//
// Thread placement (the benchmark argument): 0 leaves every thread to the
// scheduler; 1 pins each side of the link to its own CPU, as a host and a
// device would be: side A (the writers, and the lane that delivers to A) on
// one CPU, side B (the readers, and the lane that delivers to B) on the
// other. The references are placed the same way (the link bound's requester
// with B, its answering lane with A; the two-thread limit's threads apart).
// The summary ratios use the unpinned runs, the library's default; pinning
// helps only on an otherwise idle machine (on a loaded one a pinned thread
// queues behind whatever else runs on its CPU), so its figures follow apart.
//
// Summary lines:
//   RATIO channel_vs_link_bound <v>
//   RATIO channel_vs_two_thread_limit <v>
//   FIGURE channel_bulk_writes_vs_link_bound <v> (the writer hands 64 blocks
//     to each write: all but the last leave from the delivery of the requests)
//   FIGURE <name> <value> MB/s
//   FIGURE <name>_sleeps_per_rt <voluntary context switches per round trip>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bench/throughput_recorder.h"
#include "emulator/lane.h"
#include "zorbel/channel.h"
#include "zorbel/emulator.h"

namespace {

constexpr long kBlock = 512;

// Voluntary context switches of the whole process: each is a thread going to
// sleep, so per round trip they count the hops plus any sleep on a contended
// lock. Unlike times, the count hardly changes with the machine's load.
long sleeps_so_far() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

void count_sleeps(benchmark::State& state, long before, long round_trips) {
    if (round_trips > 0)
        state.counters["sleeps_per_rt"] =
            static_cast<double>(sleeps_so_far() - before) / static_cast<double>(round_trips);
}
// The reader's time-out. With one set, a fetch first waits for the block it
// asked for when it took the previous one; so does a read without one as the
// modern interface makes it (BM_OneChannelNoTimeout: the stream's unlimited
// wait, not the classic time-out 0, which asks again at once and makes every
// block travel twice).
constexpr long kReadTimeoutMs = 10000;

// --- thread placement -------------------------------------------------------

enum Side { side_a = 0, side_b = 1 };

bool placement_possible() { return std::thread::hardware_concurrency() >= 2; }

void set_cpus(pid_t tid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu < 0) {
        for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i) CPU_SET(i, &set);
    } else {
        CPU_SET(cpu, &set);
    }
    sched_setaffinity(tid, sizeof set, &set);  // best effort: a refusal leaves it unpinned
}

// Pins the calling thread to its side's CPU, or frees it (pinned false).
void place_self(bool pinned, Side side) { set_cpus(0, pinned && placement_possible() ? side : -1); }

// Pins the threads of this process with the given name (lane threads name
// themselves) to a side's CPU.
void place_named(bool pinned, const char* name, Side side) {
    if (!pinned || !placement_possible()) return;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string comm_name;
        std::getline(comm, comm_name);
        if (comm_name == name) set_cpus(static_cast<pid_t>(std::stol(entry->d_name)), side);
    }
    closedir(dir);
}

// Restores the benchmark thread for the next benchmark.
struct PlacementGuard {
    ~PlacementGuard() { place_self(false, side_a); }
};

// Two engines over an emulated link, wired as a connection wires its own.
struct Link {
    explicit Link(bool pinned) : a("", &link.a()), b("", &link.b()) {
        place_named(pinned, "zorbel a>b", side_b);
        place_named(pinned, "zorbel b>a", side_a);
        for (BlockDriver* e : {&a, &b}) {
            e->link_check.store(false);
            e->connected.store(true);
        }
        link.a().set_input_block_driver(&a);
        link.b().set_input_block_driver(&b);
    }
    ~Link() {
        link.a().set_input_block_driver(nullptr);
        link.b().set_input_block_driver(nullptr);
    }
    zorbel::EmulatedLink link;
    BlockDriver a;
    BlockDriver b;
};

// A writer thread that keeps one channel full: it blocks in flush until the
// reader asks, which is the channel's own flow control. It writes a block and
// flushes it, or (`blocks_per_write` > 1) hands that many blocks to one write
// before its flush, as a program streaming a buffer does; then the thread
// that delivers the reader's requests sends all but the last block of each
// write while this one sleeps.
class Writer {
public:
    Writer(BlockDriver& engine, unsigned char id, bool pinned, long blocks_per_write = 1)
        : out_(&engine, id),
          data_(static_cast<std::size_t>(kBlock * blocks_per_write), 0x5A),
          thread_([this, pinned] {
              place_self(pinned, side_a);
              run();
          }) {}
    // The reader's channel must be gone first: its cmd_delete ends the flush
    // this thread is blocked in.
    void join() { thread_.join(); }
    ~Writer() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        const long n = static_cast<long>(data_.size());
        while (out_.write(data_.data(), n) == n && out_.flush()) {
        }
    }
    ChannelOutput out_;
    std::vector<unsigned char> data_;
    std::thread thread_;
};

// No time-out (nullopt): the stream's unlimited wait.
void BM_OneChannel(benchmark::State& state, std::optional<long> timeout, long blocks_per_write = 1) {
    const bool pinned = state.range(0) != 0;
    PlacementGuard guard;
    place_self(pinned, side_b);
    Link link(pinned);
    auto in = std::make_unique<ChannelInput>(&link.b, 1);
    if (timeout)
        in->set_timeout(*timeout);
    else
        in->set_unlimited_wait(true);
    Writer writer(link.a, 1, pinned, blocks_per_write);
    unsigned char buf[kBlock];
    const long before = sleeps_so_far();
    for (auto _ : state) {
        if (in->read(buf, kBlock) != kBlock) {
            state.SkipWithError("short read");
            break;
        }
    }
    count_sleeps(state, before, static_cast<long>(state.iterations()));
    state.SetBytesProcessed(state.iterations() * kBlock);
    in.reset();
    writer.join();
}

void BM_OneChannelTimeout(benchmark::State& state) { BM_OneChannel(state, kReadTimeoutMs); }
void BM_OneChannelNoTimeout(benchmark::State& state) { BM_OneChannel(state, std::nullopt); }
void BM_OneChannelBulkWrites(benchmark::State& state) { BM_OneChannel(state, kReadTimeoutMs, 64); }

// The same round trip on bare lanes: the request's delivery sends the block
// back at once, on the lane's own thread.
void BM_LinkBound(benchmark::State& state) {
    const bool pinned = state.range(0) != 0;
    PlacementGuard guard;
    place_self(pinned, side_b);
    zorbel::emulator::Lane to_device, to_host;
    unsigned char request[15] = {0x4D, 0x4D, 0x12};
    unsigned char block[kBlock + 11] = {0x4D, 0x4D, 0x11};
    unsigned char device_buf[1000], host_buf[1000];  // as the link's callback buffers
    std::mutex m;
    std::condition_variable cv;
    unsigned received = 0;  // guarded by m
    to_device.start(
        [&](const unsigned char* d, unsigned n) {
            std::memcpy(device_buf, d, n);
            to_host.send(block, sizeof block);
            return true;
        },
        "bench to_device");
    to_host.start(
        [&](const unsigned char* d, unsigned n) {
            std::memcpy(host_buf, d, n);
            {
                std::lock_guard<std::mutex> lock(m);
                received += n;
            }
            cv.notify_one();
            return true;
        },
        "bench to_host");
    place_named(pinned, "bench to_device", side_a);
    place_named(pinned, "bench to_host", side_b);
    const long before = sleeps_so_far();
    for (auto _ : state) {
        to_device.send(request, sizeof request);
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return received >= sizeof block; });
        received -= sizeof block;
    }
    count_sleeps(state, before, static_cast<long>(state.iterations()));
    state.SetBytesProcessed(state.iterations() * kBlock);
    to_device.close();
    to_host.close();
}

// The link's raw throughput, which many channels at once approach: whole
// blocks streamed one way through a lane with nothing sent back, 64 per
// iteration.
void BM_LaneRaw(benchmark::State& state) {
    constexpr unsigned kBurst = 64;
    zorbel::emulator::Lane lane;
    unsigned char block[kBlock + 11] = {0x4D, 0x4D, 0x11};
    unsigned char host_buf[1000];
    std::mutex m;
    std::condition_variable cv;
    std::size_t received = 0;  // guarded by m
    lane.start([&](const unsigned char* d, unsigned n) {
        std::memcpy(host_buf, d, n);
        {
            std::lock_guard<std::mutex> lock(m);
            received += n;
        }
        cv.notify_one();
        return true;
    });
    for (auto _ : state) {
        for (unsigned i = 0; i < kBurst; ++i) lane.send(block, sizeof block);
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return received >= kBurst * sizeof block; });
        received -= kBurst * sizeof block;
    }
    state.SetBytesProcessed(state.iterations() * kBurst * kBlock);
    lane.close();
}

// The floor of any design that hands each block from one thread to another
// and waits for the answer.
void BM_TwoThreadLimit(benchmark::State& state) {
    const bool pinned = state.range(0) != 0;
    PlacementGuard guard;
    place_self(pinned, side_b);
    std::mutex m;
    std::condition_variable to_peer, to_caller;
    unsigned char message[kBlock] = {};
    unsigned char peer_copy[kBlock];
    bool request = false, reply = false, stop = false;  // guarded by m
    std::thread peer([&] {
        place_self(pinned, side_a);
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            to_peer.wait(lock, [&] { return request || stop; });
            if (stop) return;
            request = false;
            std::memcpy(peer_copy, message, kBlock);
            reply = true;
            to_caller.notify_one();
        }
    });
    const long before = sleeps_so_far();
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(m);
        request = true;
        to_peer.notify_one();
        to_caller.wait(lock, [&] { return reply; });
        reply = false;
    }
    count_sleeps(state, before, static_cast<long>(state.iterations()));
    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
    }
    to_peer.notify_one();
    peer.join();
    state.SetBytesProcessed(state.iterations() * kBlock);
}

// N channels from A to B at once, one writer and one reader thread each. An
// iteration is every reader taking kBlocksPerRound blocks.
void BM_ManyChannels(benchmark::State& state) {
    constexpr int kBlocksPerRound = 32;
    const int n = static_cast<int>(state.range(0));
    const bool pinned = state.range(1) != 0;
    PlacementGuard guard;
    Link link(pinned);
    std::vector<std::unique_ptr<ChannelInput>> inputs;
    std::vector<std::unique_ptr<Writer>> writers;
    for (int i = 0; i < n; ++i) {
        inputs.emplace_back(new ChannelInput(&link.b, static_cast<unsigned char>(i + 1)));
        inputs.back()->set_timeout(kReadTimeoutMs);
        writers.emplace_back(new Writer(link.a, static_cast<unsigned char>(i + 1), pinned));
    }
    std::mutex m;
    std::condition_variable cv;
    unsigned round = 0;   // guarded by m
    int busy = 0;         // guarded by m
    bool stop = false;    // guarded by m
    bool failed = false;  // guarded by m
    std::vector<std::thread> readers;
    readers.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        readers.emplace_back([&, i] {
            place_self(pinned, side_b);
            unsigned seen = 0;
            unsigned char buf[kBlock];
            for (;;) {
                {
                    std::unique_lock<std::mutex> lock(m);
                    cv.wait(lock, [&] { return stop || round != seen; });
                    if (stop) return;
                    seen = round;
                }
                bool ok = true;
                for (int k = 0; k < kBlocksPerRound && ok; ++k) ok = inputs[i]->read(buf, kBlock) == kBlock;
                std::lock_guard<std::mutex> lock(m);
                failed = failed || !ok;
                if (--busy == 0) cv.notify_all();
            }
        });
    }
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(m);
        busy = n;
        ++round;
        cv.notify_all();
        cv.wait(lock, [&] { return busy == 0; });
        if (failed) {
            state.SkipWithError("short read");
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
    }
    cv.notify_all();
    for (auto& t : readers) t.join();
    state.SetBytesProcessed(state.iterations() * n * kBlocksPerRound * kBlock);
    inputs.clear();  // their cmd_delete ends each writer's flush
    for (auto& w : writers) w->join();
}

BENCHMARK(BM_OneChannelTimeout)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_LinkBound)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_TwoThreadLimit)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_LaneRaw)->UseRealTime();
BENCHMARK(BM_OneChannelNoTimeout)->Arg(0)->UseRealTime();
BENCHMARK(BM_OneChannelBulkWrites)->Arg(0)->UseRealTime();
BENCHMARK(BM_ManyChannels)->Args({8, 0})->Args({64, 0})->Args({8, 1})->Args({64, 1})->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    std::printf("Placement /0: unpinned (ratios); /1: side A on CPU 0, side B on CPU 1 (of %u).\n",
                std::thread::hardware_concurrency());
    auto mbps = [&](const std::string& name) { return recorder.bytes_per_second(name) / 1e6; };
    const double channel = mbps("BM_OneChannelTimeout/0/real_time");
    const double bound = mbps("BM_LinkBound/0/real_time");
    const double limit = mbps("BM_TwoThreadLimit/0/real_time");
    if (channel > 0 && bound > 0) std::printf("RATIO channel_vs_link_bound %.2f\n", channel / bound);
    if (channel > 0 && limit > 0) std::printf("RATIO channel_vs_two_thread_limit %.2f\n", channel / limit);
    const double bulk = mbps("BM_OneChannelBulkWrites/0/real_time");
    if (bulk > 0 && bound > 0) std::printf("FIGURE channel_bulk_writes_vs_link_bound %.2f\n", bulk / bound);
    const std::pair<const char*, const char*> figures[] = {
        {"channel_1", "BM_OneChannelTimeout/0/real_time"},
        {"link_bound", "BM_LinkBound/0/real_time"},
        {"two_thread_limit", "BM_TwoThreadLimit/0/real_time"},
        {"channels_8_aggregate", "BM_ManyChannels/8/0/real_time"},
        {"channels_64_aggregate", "BM_ManyChannels/64/0/real_time"},
        {"link_raw_one_way", "BM_LaneRaw/real_time"},
        {"channel_1_no_timeout", "BM_OneChannelNoTimeout/0/real_time"},
        {"channel_1_bulk_writes", "BM_OneChannelBulkWrites/0/real_time"},
        {"channel_1_pinned", "BM_OneChannelTimeout/1/real_time"},
        {"link_bound_pinned", "BM_LinkBound/1/real_time"},
        {"two_thread_limit_pinned", "BM_TwoThreadLimit/1/real_time"},
        {"channels_8_aggregate_pinned", "BM_ManyChannels/8/1/real_time"},
        {"channels_64_aggregate_pinned", "BM_ManyChannels/64/1/real_time"}};
    for (const auto& f : figures)
        if (mbps(f.second) > 0) std::printf("FIGURE %s %.2f MB/s\n", f.first, mbps(f.second));
    // Voluntary context switches per round trip: the thread hand-overs that
    // set these figures, counted without the machine's load in them.
    const std::pair<const char*, const char*> sleeps[] = {
        {"channel_1_sleeps_per_rt", "BM_OneChannelTimeout/0/real_time"},
        {"channel_1_no_timeout_sleeps_per_rt", "BM_OneChannelNoTimeout/0/real_time"},
        {"channel_1_bulk_writes_sleeps_per_rt", "BM_OneChannelBulkWrites/0/real_time"},
        {"link_bound_sleeps_per_rt", "BM_LinkBound/0/real_time"},
        {"two_thread_limit_sleeps_per_rt", "BM_TwoThreadLimit/0/real_time"}};
    for (const auto& f : sleeps) {
        const double v = recorder.counter(f.second, "sleeps_per_rt");
        if (v > 0) std::printf("FIGURE %s %.2f\n", f.first, v);
    }
    return 0;
}
