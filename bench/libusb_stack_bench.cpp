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

#include <memory>
#include <string>
#include <vector>

#include "bench/sink_pipes.h"
#include "bench/throughput_recorder.h"
#include "usb/host.h"
#include "usb/libusb/libusb_backend.h"
#include "usb/libusb/testing/emulated_gadget.h"
#include "usb/libusb/testing/umockdev_bus.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using zorbel::bench::SinkPipes;

// Smaller than the emulated stack benchmark's megabyte: every URB through the
// mocked node costs several socket round trips to umockdev's worker thread.
constexpr std::size_t kBytesPerTransfer = 1 << 18;

// A connection to an emulated device whose sink programs read every pipe;
// with `through_usb` the library reaches it over libusb and a mocked node.
class Rig {
public:
    Rig(int pipes, bool through_usb) : tally_(std::make_shared<zorbel::SinkTally>()) {
        zorbel::EmulatedDeviceSettings settings;
        settings.hardware_id = through_usb ? "ZBBENCHUSB01" : "ZBBENCHEMU01";
        settings.id = through_usb ? "BENCHU1" : "BENCHE1";
        zorbel::bench::bind_sinks(bus_.add_device(bus_.add_controller(), 1, settings), pipes, tally_);
        if (through_usb) {
            auto emulated = zorbel::host::current_backend();
            usb_ = std::make_unique<zorbel::testing::UmockdevBus>();
            const std::string hardware_id = settings.hardware_id;
            usb_->add_device(usb_->add_root_hub(1, 4), 1, ZORBEL_USB_VENDOR_ID, ZORBEL_USB_PRODUCT_NORMAL,
                             std::make_shared<zorbel::testing::EmulatedGadget>([emulated, hardware_id] {
                                 return zorbel::testing::open_emulated(emulated, DEVICE_KIND_NORMAL,
                                                                       hardware_id);
                             }));
            libusb_ = std::make_shared<zorbel::host::LibusbBackend>();
            zorbel::host::push_backend(libusb_);
        }
        if (connection_.start(0)) sinks_ = std::make_unique<SinkPipes>(connection_, pipes, tally_, 20000);
    }
    ~Rig() {
        sinks_.reset();
        connection_.stop();
        if (libusb_) zorbel::host::remove_backend(libusb_.get());
    }

    bool ready() const { return sinks_ && sinks_->ready(); }
    double transfer(const std::vector<unsigned char>& data) { return sinks_->transfer(data); }

private:
    zorbel::EmulatedBus bus_;  // first in, last out: outlives the connection
    std::unique_ptr<zorbel::testing::UmockdevBus> usb_;
    std::shared_ptr<zorbel::host::LibusbBackend> libusb_;
    std::shared_ptr<zorbel::SinkTally> tally_;
    ChanIOControl connection_;
    std::unique_ptr<SinkPipes> sinks_;
};

void BM_LibusbVsEmulated(benchmark::State& state) {
    if (!zorbel::testing::UmockdevBus::preload_active()) {
        state.SkipWithError("umockdev preload not in force");
        return;
    }
    const int pipes = static_cast<int>(state.range(0));
    Rig emulated(pipes, false);
    Rig usb(pipes, true);
    if (!emulated.ready() || !usb.ready()) {
        state.SkipWithError("a connection did not start");
        return;
    }
    const std::vector<unsigned char> data = zorbel::bench::payload(kBytesPerTransfer / pipes);
    zorbel::bench::time_alternately(state, emulated, usb, "emulated", "libusb", data,
                                    static_cast<double>(data.size() * pipes));
}

BENCHMARK(BM_LibusbVsEmulated)->Arg(1)->Arg(8)->Iterations(6)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    const std::string one = "BM_LibusbVsEmulated/1/iterations:6/real_time";
    const std::string eight = "BM_LibusbVsEmulated/8/iterations:6/real_time";
    const double ratio1 = recorder.counter(one, "libusb_vs_emulated");
    if (ratio1 > 0) std::printf("RATIO libusb_vs_emulated %.3f\n", ratio1);
    const std::pair<const char*, double> figures[] = {
        {"libusb_vs_emulated_8pipes", recorder.counter(eight, "libusb_vs_emulated")},
        {"emulated_1pipe_MBps", recorder.counter(one, "emulated_MBps")},
        {"libusb_1pipe_MBps", recorder.counter(one, "libusb_MBps")},
        {"emulated_8pipes_MBps", recorder.counter(eight, "emulated_MBps")},
        {"libusb_8pipes_MBps", recorder.counter(eight, "libusb_MBps")}};
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
