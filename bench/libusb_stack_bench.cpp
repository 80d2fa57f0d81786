// The connection stack through the libusb backend against the same stack on
// the emulated bus. Both rigs reach the same kind of emulated device (its
// block engine and sink programs); the libusb rig reaches it through a USB
// node mocked with umockdev, so every transfer also crosses libusb, its event
// thread and the mocked usbfs. Every iteration times one transfer on each rig,
// in alternating order, so the load of a shared machine weighs on both alike.
//
// Prints, after Google Benchmark's table (medians over the repetitions):
//   RATIO libusb_vs_emulated <libusb / emulated-bus throughput, one pipe>
//   FIGURE <name> <value>
#include <benchmark/benchmark.h>

#include <cstdio>

#if defined(ZORBEL_HAVE_LIBUSB) && defined(ZORBEL_HAVE_UMOCKDEV)

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/throughput_recorder.h"
#include "usb/host.h"
#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/testing/emulated_gadget.h"
#include "usb/libusb/testing/umockdev_bus.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;

// Smaller than the emulated stack benchmark's megabyte: every URB through the
// mocked node costs several socket round trips to umockdev's worker thread.
constexpr std::size_t bytes_per_transfer = 1 << 18;
char pipe_name[] = "bench";

std::vector<unsigned char> payload(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    return v;
}

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

// A connection to an emulated device whose sink programs read every pipe;
// with `through_usb` the library reaches it over libusb and a mocked node.
class Rig {
public:
    Rig(int pipes, bool through_usb) : tally(std::make_shared<zorbel::SinkTally>()) {
        zorbel::EmulatedDeviceSettings settings;
        settings.hardware_id = through_usb ? "ZBBENCHUSB01" : "ZBBENCHEMU01";
        settings.id = through_usb ? "BENCHU1" : "BENCHE1";
        zorbel::EmulatedDevice dev = bus.add_device(bus.add_controller(), 1, settings);
        for (int p = 1; p <= pipes; ++p) dev.bind(p, zorbel::sink_program(tally));
        if (through_usb) {
            auto emulated = zorbel::host::current_backend();
            usb = std::make_unique<zorbel::testing::UmockdevBus>();
            const std::string hardware_id = settings.hardware_id;
            usb->add_device(usb->add_root_hub(1, 4), 1, ZORBEL_USB_VENDOR_ID,
                            ZORBEL_USB_PRODUCT_NORMAL,
                            std::make_shared<zorbel::testing::EmulatedGadget>([emulated, hardware_id] {
                                return zorbel::testing::open_emulated(emulated, DEVICE_KIND_NORMAL,
                                                                      hardware_id);
                            }));
            libusb = std::make_shared<zorbel::host::LibusbBackend>();
            zorbel::host::push_backend(libusb);
        }
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
    ~Rig() {
        for (XPipe* pipe : made) pipe->release();
        connection.stop();
        if (libusb) zorbel::host::remove_backend(libusb.get());
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
    std::unique_ptr<zorbel::testing::UmockdevBus> usb;
    std::shared_ptr<zorbel::host::LibusbBackend> libusb;
    std::shared_ptr<zorbel::SinkTally> tally;
    ChanIOControl connection;
    std::vector<XPipe*> made;
    std::vector<ChannelOutput*> outs;
    std::uint64_t expected = 0;
};

void BM_LibusbVsEmulated(benchmark::State& state) {
    if (!zorbel::testing::UmockdevBus::preload_active()) {
        state.SkipWithError("umockdev preload not in force");
        return;
    }
    const int pipes = static_cast<int>(state.range(0));
    Rig emulated(pipes, false);
    Rig usb(pipes, true);
    if (!emulated.ready || !usb.ready) {
        state.SkipWithError("a connection did not start");
        return;
    }
    const std::vector<unsigned char> data = payload(bytes_per_transfer / pipes);
    const double bytes = static_cast<double>(data.size() * pipes);
    double emulated_seconds = 0, usb_seconds = 0;
    bool emulated_first = true;
    for (auto _ : state) {
        double e, u;
        if (emulated_first) {
            e = emulated.transfer(data);
            u = usb.transfer(data);
        } else {
            u = usb.transfer(data);
            e = emulated.transfer(data);
        }
        emulated_first = !emulated_first;
        if (e < 0 || u < 0) {
            state.SkipWithError("a transfer failed");
            break;
        }
        emulated_seconds += e;
        usb_seconds += u;
    }
    const double total = bytes * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(2 * total));
    if (emulated_seconds > 0 && usb_seconds > 0) {
        state.counters["emulated_MBps"] = total / emulated_seconds / 1e6;
        state.counters["libusb_MBps"] = total / usb_seconds / 1e6;
        state.counters["libusb_vs_emulated"] = emulated_seconds / usb_seconds;
    }
}

BENCHMARK(BM_LibusbVsEmulated)->Arg(1)->Arg(8)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

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

    const std::string one = "BM_LibusbVsEmulated/1/iterations:6/real_time.";
    const std::string eight = "BM_LibusbVsEmulated/8/iterations:6/real_time.";
    const double ratio1 = recorder.get(one + "libusb_vs_emulated");
    if (ratio1 > 0) std::printf("RATIO libusb_vs_emulated %.3f\n", ratio1);
    const std::pair<const char*, double> figures[] = {
        {"libusb_vs_emulated_8pipes", recorder.get(eight + "libusb_vs_emulated")},
        {"emulated_1pipe_MBps", recorder.get(one + "emulated_MBps")},
        {"libusb_1pipe_MBps", recorder.get(one + "libusb_MBps")},
        {"emulated_8pipes_MBps", recorder.get(eight + "emulated_MBps")},
        {"libusb_8pipes_MBps", recorder.get(eight + "libusb_MBps")}};
    for (const auto& f : figures)
        if (f.second > 0) std::printf("FIGURE %s %.2f\n", f.first, f.second);
    return 0;
}

#else

int main() {
    std::printf("libusb_stack_bench: built without libusb-1.0 or umockdev; nothing to measure\n");
    return 0;
}

#endif
