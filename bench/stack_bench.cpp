// What the connection stack costs on top of the bare emulated link: the same
// bytes over one pipe and over eight, once through a connection (pipe
// factory, channel streams, block engine, USB transport with its reader
// thread, the emulated bus's device and its sink program) and once between
// two block engines joined by an EmulatedLink. Both rigs live side by side
// and every iteration times one transfer on each, in alternating order, so
// the load of a shared machine weighs on both figures alike.
//
// Then the stack alone over a link with 125 us delay each way (one USB
// high-speed microframe), where each pipe is held to its stop-and-wait bound
// of one 512-byte block per round trip of twice the delay, and pipes that
// run at once are how a client hides it.
//
// Prints, after Google Benchmark's table (medians over the repetitions):
//   RATIO stack_vs_link <stack / link throughput, one pipe>
//   RATIO pipes8_vs_pipes1 <stack throughput, eight pipes / one pipe>
//   RATIO pipe1_vs_bound_usb_delay <one pipe / its stop-and-wait bound>
//   RATIO pipes8_vs_pipes1_usb_delay <eight pipes / one pipe, with the delay>
//   FIGURE <name> <value>
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/sink_pipes.h"
#include "bench/throughput_recorder.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::bench::SinkPipes;

constexpr std::size_t kBytesPerTransfer = 1 << 20;
constexpr unsigned kUsbDelayUs = 125;
constexpr std::size_t kBlocksPerPipeDelayed = 64;
// One 512-byte block per round trip of twice the delay, in MB/s.
constexpr double kPipeBoundMBps = 512.0 / (2.0 * kUsbDelayUs);

// A connection to an emulated device whose sink programs read every pipe.
class StackRig {
public:
    explicit StackRig(int pipes, unsigned delay_us = 0) : tally_(std::make_shared<zorbel::SinkTally>()) {
        // The device claim is system-wide and keyed by the ID: one of this
        // process's own keeps a test or demo running beside it out of the way.
        zorbel::EmulatedDeviceSettings settings;
        settings.id = "B" + std::to_string(1000000 + ::getpid() % 1000000).substr(1);
        settings.to_device.delay_us = delay_us;
        settings.to_host.delay_us = delay_us;
        zorbel::bench::bind_sinks(bus_.add_device(bus_.add_controller(), 1, settings), pipes, tally_);
        if (connection_.start(0)) sinks_ = std::make_unique<SinkPipes>(connection_, pipes, tally_, 20000);
    }

    bool ready() const { return sinks_ && sinks_->ready(); }
    double transfer(const std::vector<unsigned char>& data) { return sinks_->transfer(data); }

private:
    zorbel::EmulatedBus bus_;  // first in, last out: outlives the connection
    std::shared_ptr<zorbel::SinkTally> tally_;
    ChanIOControl connection_;
    std::unique_ptr<SinkPipes> sinks_;  // released before the connection stops
};

// Two block engines over an EmulatedLink, with a reader per channel on the
// far side reading as the sink program does.
class LinkRig {
public:
    explicit LinkRig(int pipes) : host_("", &link_.a()), device_("", &link_.b()) {
        // As a connection sets its engine: no keep-alive traffic.
        for (BlockDriver* engine : {&host_, &device_}) {
            engine->link_check.store(false);
            engine->connected.store(true);
        }
        link_.a().set_input_block_driver(&host_);
        link_.b().set_input_block_driver(&device_);
        for (int p = 1; p <= pipes; ++p) {
            auto channel = static_cast<unsigned char>(2 * p - 1);
            outs_.push_back(std::make_unique<ChannelOutput>(&host_, channel));
            ins_.push_back(std::make_unique<ChannelInput>(&device_, channel));
            outs_.back()->set_timeout(20000);
            ins_.back()->set_timeout(100);
            out_ptrs_.push_back(outs_.back().get());
        }
        for (auto& in : ins_)
            readers_.emplace_back([this, input = in.get()] {
                unsigned char buf[BlockProtocol::max_data_len];
                while (!stopping_.load()) {
                    long n = input->read(buf, sizeof buf);
                    if (n > 0) received_ += static_cast<std::uint64_t>(n);
                }
            });
    }
    ~LinkRig() {
        stopping_ = true;
        for (std::thread& t : readers_) t.join();
        link_.a().set_input_block_driver(nullptr);
        link_.b().set_input_block_driver(nullptr);
        outs_.clear();
        ins_.clear();
        link_.shut_down();
    }

    double transfer(const std::vector<unsigned char>& data) {
        Clock::time_point start = Clock::now();
        bool sent = zorbel::bench::send_all(out_ptrs_, data);
        expected_ += data.size() * out_ptrs_.size();
        Clock::time_point deadline = start + std::chrono::seconds(20);
        while (received_.load() < expected_ && Clock::now() < deadline) std::this_thread::yield();
        if (!sent || received_.load() < expected_) return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    using Clock = std::chrono::steady_clock;

    zorbel::EmulatedLink link_;
    BlockDriver host_;
    BlockDriver device_;
    std::vector<std::unique_ptr<ChannelOutput>> outs_;
    std::vector<std::unique_ptr<ChannelInput>> ins_;
    std::vector<ChannelOutput*> out_ptrs_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> readers_;
    std::uint64_t expected_ = 0;
};

void BM_StackVsLink(benchmark::State& state) {
    const int pipes = static_cast<int>(state.range(0));
    LinkRig link(pipes);
    StackRig stack(pipes);
    if (!stack.ready()) {
        state.SkipWithError("the emulated device did not start");
        return;
    }
    const std::vector<unsigned char> data = zorbel::bench::payload(kBytesPerTransfer / pipes);
    zorbel::bench::time_alternately(state, link, stack, "link", "stack", data,
                                    static_cast<double>(data.size() * pipes));
}

BENCHMARK(BM_StackVsLink)->Arg(1)->Arg(8)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

// The stack over a link with the delay of a USB microframe each way: a
// transfer is the same number of blocks on every pipe.
void BM_StackUsbDelay(benchmark::State& state) {
    const int pipes = static_cast<int>(state.range(0));
    StackRig stack(pipes, kUsbDelayUs);
    if (!stack.ready()) {
        state.SkipWithError("the emulated device did not start");
        return;
    }
    const std::vector<unsigned char> data = zorbel::bench::payload(kBlocksPerPipeDelayed * 512);
    // Not timed: a new pipe's device end waits up to 100 ms before it first
    // asks for a block.
    if (stack.transfer(data) < 0) {
        state.SkipWithError("the warm-up transfer failed");
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        const double t = stack.transfer(data);
        if (t < 0) {
            state.SkipWithError("a transfer failed");
            return;
        }
        seconds += t;
    }
    const double bytes = static_cast<double>(data.size()) * pipes * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    if (seconds > 0) state.counters["MBps"] = bytes / seconds / 1e6;
}

BENCHMARK(BM_StackUsbDelay)->Arg(1)->Arg(8)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    const std::string one = "BM_StackVsLink/1/iterations:6/real_time";
    const std::string eight = "BM_StackVsLink/8/iterations:6/real_time";
    double ratio1 = recorder.counter(one, "stack_vs_link");
    double ratio8 = recorder.counter(eight, "stack_vs_link");
    double stack1 = recorder.counter(one, "stack_MBps");
    double stack8 = recorder.counter(eight, "stack_MBps");
    if (ratio1 > 0) std::printf("RATIO stack_vs_link %.3f\n", ratio1);
    if (stack1 > 0 && stack8 > 0) std::printf("RATIO pipes8_vs_pipes1 %.3f\n", stack8 / stack1);
    if (ratio8 > 0) std::printf("FIGURE stack_vs_link_8pipes %.3f\n", ratio8);
    const double delayed1 = recorder.counter("BM_StackUsbDelay/1/iterations:6/real_time", "MBps");
    const double delayed8 = recorder.counter("BM_StackUsbDelay/8/iterations:6/real_time", "MBps");
    if (delayed1 > 0) std::printf("RATIO pipe1_vs_bound_usb_delay %.3f\n", delayed1 / kPipeBoundMBps);
    if (delayed1 > 0 && delayed8 > 0)
        std::printf("RATIO pipes8_vs_pipes1_usb_delay %.3f\n", delayed8 / delayed1);
    const std::pair<const char*, double> figures[] = {
        {"link_1pipe_MBps", recorder.counter(one, "link_MBps")},
        {"link_8pipes_MBps", recorder.counter(eight, "link_MBps")},
        {"stack_1pipe_MBps", stack1},
        {"stack_8pipes_MBps", stack8},
        {"stack_1pipe_usb_delay_MBps", delayed1},
        {"stack_8pipes_usb_delay_MBps", delayed8}};
    for (const auto& f : figures)
        if (f.second > 0) std::printf("FIGURE %s %.2f\n", f.first, f.second);
    return 0;
}
