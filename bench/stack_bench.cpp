// What the connection stack costs on top of the bare emulated link: the same
// bytes over one pipe and over eight, once through a connection (pipe
// factory, channel streams, block engine, USB transport with its reader
// thread, the emulated bus's device and its sink program) and once between
// two block engines joined by an EmulatedLink. Both rigs live side by side
// and every iteration times one transfer on each, in alternating order, so
// the load of a shared machine weighs on both figures alike.
//
// Prints, after Google Benchmark's table (medians over the repetitions):
//   RATIO stack_vs_link <stack / link throughput, one pipe>
//   RATIO pipes8_vs_pipes1 <stack throughput, eight pipes / one pipe>
//   FIGURE <name> <value>
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/throughput_recorder.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t bytes_per_transfer = 1 << 20;
char pipe_name[] = "bench";

std::vector<unsigned char> payload(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    return v;
}

// Sends `data` on every stream, each from a thread of its own as a client
// with one writer per pipe would; false when any write or flush failed.
bool send_all(const std::vector<ChannelOutput*>& outs, const std::vector<unsigned char>& data) {
    std::vector<std::thread> writers;
    std::atomic<bool> failed{false};
    for (ChannelOutput* out : outs)
        writers.emplace_back([out, &data, &failed] {
            long n = static_cast<long>(data.size());
            if (out->write(data.data(), n) != n || !out->flush()) failed = true;
        });
    for (std::thread& t : writers) t.join();
    return !failed;
}

// A connection to an emulated device whose sink programs read every pipe.
class StackRig {
public:
    explicit StackRig(int pipes) : tally(std::make_shared<zorbel::SinkTally>()) {
        // The device claim is system-wide and keyed by the ID: one of this
        // process's own keeps a test or demo running beside it out of the way.
        zorbel::EmulatedDeviceSettings settings;
        settings.id = "B" + std::to_string(1000000 + ::getpid() % 1000000).substr(1);
        zorbel::EmulatedDevice dev = bus.add_device(bus.add_controller(), 1, settings);
        for (int p = 1; p <= pipes; ++p) dev.bind(p, zorbel::sink_program(tally));
        if (!connection.start(0)) return;
        for (int p = 1; p <= pipes; ++p) {
            XPipe* pipe = connection.get_pipe_factory()->new_pipe(pipe_name, p, 0);
            if (!pipe) return;
            made.push_back(pipe);
            outs.push_back(dynamic_cast<ChannelOutput*>(&pipe->get_output()));
            outs.back()->set_timeout(20000);
        }
        ready = true;
    }
    ~StackRig() {
        for (XPipe* pipe : made) pipe->release();
        connection.stop();
    }

    // Seconds until the device's programs have read all of it; negative on failure.
    double transfer(const std::vector<unsigned char>& data) {
        Clock::time_point start = Clock::now();
        bool sent = send_all(outs, data);
        expected += data.size() * outs.size();
        if (!sent || !tally->wait_for(expected, 20000)) return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    bool ready = false;

private:
    zorbel::EmulatedBus bus;  // first in, last out: outlives the connection
    std::shared_ptr<zorbel::SinkTally> tally;
    ChanIOControl connection;
    std::vector<XPipe*> made;
    std::vector<ChannelOutput*> outs;
    std::uint64_t expected = 0;
};

// Two block engines over an EmulatedLink, with a reader per channel on the
// far side reading as the sink program does.
class LinkRig {
public:
    explicit LinkRig(int pipes) : host("", &link.a()), device("", &link.b()) {
        // As a connection sets its engine: no keep-alive traffic.
        for (BlockDriver* engine : {&host, &device}) {
            engine->link_check.store(false);
            engine->connected.store(true);
        }
        link.a().set_input_block_driver(&host);
        link.b().set_input_block_driver(&device);
        for (int p = 1; p <= pipes; ++p) {
            auto channel = static_cast<unsigned char>(2 * p - 1);
            outs.push_back(std::make_unique<ChannelOutput>(&host, channel));
            ins.push_back(std::make_unique<ChannelInput>(&device, channel));
            outs.back()->set_timeout(20000);
            ins.back()->set_timeout(100);
            out_ptrs.push_back(outs.back().get());
        }
        for (auto& in : ins)
            readers.emplace_back([this, input = in.get()] {
                unsigned char buf[BlockProtocol::max_data_len];
                while (!stopping.load()) {
                    long n = input->read(buf, sizeof buf);
                    if (n > 0) received += static_cast<std::uint64_t>(n);
                }
            });
    }
    ~LinkRig() {
        stopping = true;
        for (std::thread& t : readers) t.join();
        link.a().set_input_block_driver(nullptr);
        link.b().set_input_block_driver(nullptr);
        outs.clear();
        ins.clear();
        link.shut_down();
    }

    double transfer(const std::vector<unsigned char>& data) {
        Clock::time_point start = Clock::now();
        bool sent = send_all(out_ptrs, data);
        expected += data.size() * out_ptrs.size();
        Clock::time_point deadline = start + std::chrono::seconds(20);
        while (received.load() < expected && Clock::now() < deadline) std::this_thread::yield();
        if (!sent || received.load() < expected) return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    zorbel::EmulatedLink link;
    BlockDriver host;
    BlockDriver device;
    std::vector<std::unique_ptr<ChannelOutput>> outs;
    std::vector<std::unique_ptr<ChannelInput>> ins;
    std::vector<ChannelOutput*> out_ptrs;
    std::atomic<std::uint64_t> received{0};
    std::atomic<bool> stopping{false};
    std::vector<std::thread> readers;
    std::uint64_t expected = 0;
};

void BM_StackVsLink(benchmark::State& state) {
    const int pipes = static_cast<int>(state.range(0));
    LinkRig link(pipes);
    StackRig stack(pipes);
    if (!stack.ready) {
        state.SkipWithError("the emulated device did not start");
        return;
    }
    const std::vector<unsigned char> data = payload(bytes_per_transfer / pipes);
    const double bytes = static_cast<double>(data.size() * pipes);
    double link_seconds = 0, stack_seconds = 0;
    bool link_first = true;
    for (auto _ : state) {
        double l, s;
        if (link_first) {
            l = link.transfer(data);
            s = stack.transfer(data);
        } else {
            s = stack.transfer(data);
            l = link.transfer(data);
        }
        link_first = !link_first;
        if (l < 0 || s < 0) {
            state.SkipWithError("a transfer failed");
            break;
        }
        link_seconds += l;
        stack_seconds += s;
    }
    const double total = bytes * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(2 * total));
    if (link_seconds > 0 && stack_seconds > 0) {
        state.counters["link_MBps"] = total / link_seconds / 1e6;
        state.counters["stack_MBps"] = total / stack_seconds / 1e6;
        state.counters["stack_vs_link"] = link_seconds / stack_seconds;
    }
}

BENCHMARK(BM_StackVsLink)->Arg(1)->Arg(8)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps the median of every user counter as well, by run name.
class CounterRecorder : public zorbel::bench::ThroughputRecorder {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single)
                for (const auto& counter : run.counters)
                    counters[run.run_name.str() + "." + counter.first] = counter.second.value;
        }
        ThroughputRecorder::ReportRuns(runs);
    }
    double get(const std::string& name) const {
        auto it = counters.find(name);
        return it == counters.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> counters;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CounterRecorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    const std::string one = "BM_StackVsLink/1/iterations:6/real_time.";
    const std::string eight = "BM_StackVsLink/8/iterations:6/real_time.";
    double ratio1 = recorder.get(one + "stack_vs_link");
    double ratio8 = recorder.get(eight + "stack_vs_link");
    double stack1 = recorder.get(one + "stack_MBps");
    double stack8 = recorder.get(eight + "stack_MBps");
    if (ratio1 > 0) std::printf("RATIO stack_vs_link %.3f\n", ratio1);
    if (stack1 > 0 && stack8 > 0) std::printf("RATIO pipes8_vs_pipes1 %.3f\n", stack8 / stack1);
    if (ratio8 > 0) std::printf("FIGURE stack_vs_link_8pipes %.3f\n", ratio8);
    const std::pair<const char*, double> figures[] = {
        {"link_1pipe_MBps", recorder.get(one + "link_MBps")},
        {"link_8pipes_MBps", recorder.get(eight + "link_MBps")},
        {"stack_1pipe_MBps", stack1},
        {"stack_8pipes_MBps", stack8}};
    for (const auto& f : figures)
        if (f.second > 0) std::printf("FIGURE %s %.2f\n", f.first, f.second);
    return 0;
}
