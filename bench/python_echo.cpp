// What Python costs on top of C++: the same loop through one pipe and the
// device's echo program, once from C++ (zorbel::Pipe) and once from Python
// (the module's bindings in an interpreter embedded here), 64 KiB written and
// flushed, then read back until all of it has come, and checked. Each side has
// its own device on one emulated bus, and every iteration times one transfer
// on each, in alternating order, so the load of a shared machine weighs on
// both figures alike.
//
// Prints, after Google Benchmark's table (medians over the repetitions):
//   RATIO python_vs_cpp <Python throughput / C++ throughput>
//   FIGURE <name> <value>
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/sink_pipes.h"
#include "bench/throughput_recorder.h"
#include "python/bindings.h"
#include "zorbel/client.h"
#include "zorbel/emulator.h"

PYBIND11_EMBEDDED_MODULE(zorbel, m) { zorbel::python::define_module(m); }

namespace {

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kBytesPerTransfer = 256 << 10;
// Both sides read with a time-out: a channel read without one asks for each
// block twice (docs/performance.md), and the module always waits with one
// (its slices between looks at the signals), so without it the two loops
// would differ in what they ask of the device, not in what Python costs.
constexpr std::chrono::milliseconds kReadTimeout(20000);

// The loop as a Python program would write it: writes straight from the
// caller's bytes, reads into one buffer (readinto, as a program that cares
// about speed does), compares with the C operator.
constexpr const char* kPythonLoop = R"(
def transfer(pipe, data, chunk, timeout):
    back = bytearray(chunk)
    view = memoryview(back)
    source = memoryview(data)
    for start in range(0, len(data), chunk):
        piece = source[start:start + chunk]
        pipe.write(piece)
        pipe.flush()
        got = 0
        while got < len(piece):
            n = pipe.readinto(view[got:len(piece)], timeout)
            if n == 0:
                return False
            got += n
        if view[:len(piece)] != piece:
            return False
    return True
)";

class CppRig {
public:
    explicit CppRig(const std::string& hardware_id)
        : connection_(zorbel::connect(hardware_id)), pipe_(connection_.pipe(1)), back_(kChunk) {}

    double transfer(const std::vector<unsigned char>& data) try {
        const Clock::time_point start = Clock::now();
        for (std::size_t at = 0; at < data.size(); at += kChunk) {
            const std::size_t n = std::min(kChunk, data.size() - at);
            pipe_.write(data.data() + at, n);
            pipe_.flush();
            for (std::size_t got = 0; got < n;) {
                const std::size_t r = pipe_.read(back_.data() + got, n - got, kReadTimeout);
                if (r == 0) return -1;
                got += r;
            }
            if (std::memcmp(back_.data(), data.data() + at, n) != 0) return -1;
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    } catch (const zorbel::Error& e) {
        std::fprintf(stderr, "C++ echo: %s\n", e.what());
        return -1;
    }

private:
    zorbel::Connection connection_;
    zorbel::Pipe pipe_;
    std::vector<unsigned char> back_;
};

// Runs on the main thread, which holds the GIL throughout (the module's calls
// let it go while they wait).
class PythonRig {
public:
    explicit PythonRig(const std::string& hardware_id) {
        py::dict scope;
        py::exec(kPythonLoop, scope);
        transfer_ = scope["transfer"];
        connection_ = py::module_::import("zorbel").attr("connect")(hardware_id);
        pipe_ = connection_.attr("pipe")(1);
    }
    PythonRig(const PythonRig&) = delete;
    PythonRig& operator=(const PythonRig&) = delete;

    double transfer(const std::vector<unsigned char>& data) try {
        // Made once: the conversion is no part of what is measured.
        if (payload_for_ != data.data()) {
            payload_ = py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
            payload_for_ = data.data();
        }
        const Clock::time_point start = Clock::now();
        if (!transfer_(pipe_, payload_, kChunk, kReadTimeout.count() / 1000.0).cast<bool>()) return -1;
        return std::chrono::duration<double>(Clock::now() - start).count();
    } catch (const py::error_already_set& e) {
        std::fprintf(stderr, "Python echo: %s\n", e.what());
        return -1;
    }

private:
    py::object transfer_;
    py::object connection_;
    py::object pipe_;  // after connection_: goes first, and closes as it goes
    py::bytes payload_;
    const unsigned char* payload_for_ = nullptr;
};

zorbel::EmulatedDevice add_echo_device(zorbel::EmulatedBus& bus, int hub, int port,
                                       const std::string& number) {
    zorbel::EmulatedDeviceSettings settings;
    settings.hardware_id = "ZB0000000" + number;
    settings.id = "0000" + number;
    zorbel::EmulatedDevice device = bus.add_device(hub, port, settings);
    device.bind(1, zorbel::echo_program());
    return device;
}

void BM_PythonVsCpp(benchmark::State& state) {
    zorbel::EmulatedBus bus;  // first in, last out: outlives both connections
    const int hub = bus.add_controller();
    add_echo_device(bus, hub, 1, "101");
    add_echo_device(bus, hub, 2, "102");
    try {
        CppRig cpp("ZB0000000101");
        PythonRig python("ZB0000000102");
        const std::vector<unsigned char> data = zorbel::bench::payload(kBytesPerTransfer);
        zorbel::bench::time_alternately(state, cpp, python, "cpp", "python", data,
                                        static_cast<double>(data.size()));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(BM_PythonVsCpp)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) try {
    py::scoped_interpreter python;
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    const std::string run = "BM_PythonVsCpp/iterations:40/real_time";
    const double ratio = recorder.counter(run, "python_vs_cpp");
    if (ratio > 0) std::printf("RATIO python_vs_cpp %.3f\n", ratio);
    const std::pair<const char*, double> figures[] = {
        {"echo_cpp_MBps", recorder.counter(run, "cpp_MBps")},
        {"echo_python_MBps", recorder.counter(run, "python_MBps")}};
    for (const auto& f : figures)
        if (f.second > 0) std::printf("FIGURE %s %.2f\n", f.first, f.second);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "python_echo_bench: %s\n", e.what());
    return 1;
}
