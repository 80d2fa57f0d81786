// Throughput through the whole stack (connection, USB driver, emulated bus and
// device) as the number of pipes grows from 1 to 125 and as the emulated
// link's delay grows from 0 to 2 ms, standing in for USB frame scheduling;
// and the resident size of a connection with 125 pipes open. Writes CSV
// tables that docs/plots/*.gp draw.
//
//   scaling_table [--out DIR] [--reps N] [--quick]
//
// writes DIR/pipes.csv, DIR/delay.csv and DIR/memory.csv (DIR defaults to the
// current directory). Each throughput point is the median of N transfers
// (default 5) on one connection, after one transfer to warm it up; min and
// max go beside it. Every pipe has its own writer thread, as a client with
// one writer per pipe would; threads are left to the scheduler.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/sink_pipes.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

// Resident set size of this process in KiB, from /proc.
long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int thread_count() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

// Heap bytes in use (glibc's count), in KiB: unlike the resident size it
// does not depend on which pages earlier allocations happened to touch.
long heap_kib() { return static_cast<long>(mallinfo2().uordblks / 1024); }

struct Stage {
    long rss_kib = -1;
    long heap_kib = -1;
    int threads = -1;
};

Stage now_stage() { return {rss_kib(), heap_kib(), thread_count()}; }

// A connection to one emulated device whose sink programs read every pipe.
// The device's IDs carry this process's number: claims are system-wide, and
// other programs on the machine may be using the default IDs.
class Rig {
public:
    Rig(int pipes, unsigned delay_us) : tally_(std::make_shared<zorbel::SinkTally>()) {
        zorbel::EmulatedDeviceSettings settings;
        char id[8];
        std::snprintf(id, sizeof id, "S%06u", static_cast<unsigned>(::getpid()) % 1000000u);
        settings.id = id;
        settings.hardware_id = std::string("ZBSCALE") + (id + 2);
        settings.to_device.delay_us = delay_us;
        settings.to_host.delay_us = delay_us;
        zorbel::bench::bind_sinks(bus_.add_device(bus_.add_controller(), 1, settings), pipes, tally_);
        after_device = now_stage();
        if (!connection_.start(0)) return;
        after_start = now_stage();
        sinks_ = std::make_unique<zorbel::bench::SinkPipes>(connection_, pipes, tally_, 60000);
        if (!sinks_->ready()) return;
        after_pipes = now_stage();
        ready = true;
    }

    // Sends `data` on every pipe at once; seconds until the device has read
    // all of it, or a negative value on failure.
    double transfer(const std::vector<unsigned char>& data) { return sinks_->transfer(data); }

    bool ready = false;
    Stage after_device, after_start, after_pipes;

private:
    zorbel::EmulatedBus bus_;  // first in, last out: outlives the connection
    std::shared_ptr<zorbel::SinkTally> tally_;
    ChanIOControl connection_;
    std::unique_ptr<zorbel::bench::SinkPipes> sinks_;  // released before the connection stops
};

struct Point {
    double median = 0, min = 0, max = 0;  // MB/s
    bool ok = false;
};

// `total` bytes spread over the pipes, at least `min_blocks` blocks per pipe.
Point measure(int pipes, unsigned delay_us, std::size_t total, std::size_t min_blocks, int reps) {
    Point point;
    Rig rig(pipes, delay_us);
    if (!rig.ready) return point;
    const std::size_t per_pipe = std::max(total / static_cast<std::size_t>(pipes), min_blocks * 512);
    std::vector<unsigned char> data(per_pipe);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    if (rig.transfer(data) < 0) return point;  // warm-up
    std::vector<double> rates;
    for (int r = 0; r < reps; ++r) {
        const double seconds = rig.transfer(data);
        if (seconds <= 0) return point;
        rates.push_back(static_cast<double>(per_pipe * static_cast<std::size_t>(pipes)) / seconds / 1e6);
    }
    std::sort(rates.begin(), rates.end());
    point.median = rates[rates.size() / 2];
    point.min = rates.front();
    point.max = rates.back();
    point.ok = true;
    return point;
}

FILE* open_table(const std::string& dir, const char* name, const char* header) {
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::fprintf(f, "%s\n", header);
    std::printf("writing %s\n", path.c_str());
    return f;
}

void row(FILE* f, int pipes, unsigned delay_us, const Point& p) {
    std::fprintf(f, "%d,%u,%.3f,%.3f,%.3f\n", pipes, delay_us, p.median, p.min, p.max);
    std::fflush(f);
    std::printf("  pipes %3d  delay %4u us  %s%.2f MB/s (min %.2f, max %.2f)\n", pipes, delay_us,
                p.ok ? "" : "FAILED ", p.median, p.min, p.max);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ".";
    int reps = 5;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: %s [--out DIR] [--reps N] [--quick]\n", argv[0]);
            return 2;
        }
    }
    bool all_ok = true;
    std::printf("median of %d transfers per point; threads unpinned on %u CPUs\n", reps,
                std::thread::hardware_concurrency());

    // Memory first, while the heap is fresh: the resident size and the heap in
    // use at each stage of setting up 125 pipes, and after one block has
    // crossed every pipe (so every buffer is touched). The process also holds
    // the emulated device and its programs' threads.
    FILE* f = open_table(dir, "memory.csv", "stage,rss_kib,heap_kib,threads");
    {
        const Stage before = now_stage();
        Rig rig(125, 0);
        const bool ok = rig.ready && rig.transfer(std::vector<unsigned char>(512, 0x5A)) > 0;
        all_ok = all_ok && ok;
        if (ok) {
            const std::pair<const char*, Stage> stages[] = {{"before", before},
                                                            {"bus_and_device", rig.after_device},
                                                            {"connection_started", rig.after_start},
                                                            {"pipes_125_open", rig.after_pipes},
                                                            {"pipes_125_streamed", now_stage()}};
            for (const auto& stage : stages) {
                std::fprintf(f, "%s,%ld,%ld,%d\n", stage.first, stage.second.rss_kib, stage.second.heap_kib,
                             stage.second.threads);
                std::printf("  %-20s RSS %6ld KiB, heap %6ld KiB, %4d threads\n", stage.first,
                            stage.second.rss_kib, stage.second.heap_kib, stage.second.threads);
            }
        }
    }
    std::fclose(f);

    // Throughput against pipes, no delay: 1 MiB per transfer, at least 16
    // blocks per pipe.
    f = open_table(dir, "pipes.csv", "pipes,delay_us,median_MBps,min_MBps,max_MBps");
    const std::vector<int> pipe_counts =
        quick ? std::vector<int>{1, 8, 125} : std::vector<int>{1, 2, 4, 8, 16, 32, 64, 125};
    for (int pipes : pipe_counts) {
        const Point p = measure(pipes, 0, 1 << 20, 16, reps);
        all_ok = all_ok && p.ok;
        row(f, pipes, 0, p);
    }
    std::fclose(f);

    // Throughput against delay, for 1, 8 and 125 pipes. A pipe moves one
    // block per round trip, so with a delay d each way its bound is 512 bytes
    // per 2d; the transfer shrinks to 32 blocks per pipe to keep points short.
    f = open_table(dir, "delay.csv", "pipes,delay_us,median_MBps,min_MBps,max_MBps");
    const std::vector<unsigned> delays = quick ? std::vector<unsigned>{0, 1000, 2000}
                                               : std::vector<unsigned>{0, 125, 250, 500, 1000, 1500, 2000};
    for (int pipes : {1, 8, 125}) {
        for (unsigned delay : delays) {
            const std::size_t total = delay == 0 ? (1 << 20) : 32 * 512 * static_cast<std::size_t>(pipes);
            const Point p = measure(pipes, delay, total, 16, reps);
            all_ok = all_ok && p.ok;
            row(f, pipes, delay, p);
        }
    }
    std::fclose(f);

    return all_ok ? 0 : 1;
}
