// What the whole-stack benchmarks share: pipes of a started connection whose
// device-side sink programs read every byte, written all at once from a
// thread per pipe and timed until the device has read it all; and the
// alternating timing of two rigs in one benchmark.
#ifndef ZORBEL_BENCH_SINK_PIPES_H
#define ZORBEL_BENCH_SINK_PIPES_H

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zorbel/control.h"
#include "zorbel/emulator.h"

namespace zorbel {
namespace bench {

// A pattern that is not the same in every block.
inline std::vector<unsigned char> payload(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + (i >> 9));
    return v;
}

// Sends `data` on every stream, each from a thread of its own as a client
// with one writer per pipe would; false when any write or flush failed.
inline bool send_all(const std::vector<ChannelOutput*>& outs, const std::vector<unsigned char>& data) {
    std::vector<std::thread> writers;
    std::atomic<bool> failed{false};
    for (ChannelOutput* out : outs)
        writers.emplace_back([out, &data, &failed] {
            const long n = static_cast<long>(data.size());
            if (out->write(data.data(), n) != n || !out->flush()) failed = true;
        });
    for (std::thread& t : writers) t.join();
    return !failed;
}

// Binds a sink program counting into `tally` to pipes 1 to `pipes` of `device`.
inline void bind_sinks(zorbel::EmulatedDevice device, int pipes,
                       const std::shared_ptr<zorbel::SinkTally>& tally) {
    for (int p = 1; p <= pipes; ++p) device.bind(p, zorbel::sink_program(tally));
}

// Pipes 1 to `pipes` of a started connection to a device whose sinks count
// into `tally`. Released when destroyed, before the connection stops.
class SinkPipes {
public:
    SinkPipes(ChanIOControl& connection, int pipes, std::shared_ptr<zorbel::SinkTally> tally, long timeout_ms)
        : tally_(std::move(tally)), timeout_ms_(timeout_ms) {
        static char name[] = "bench";
        for (int p = 1; p <= pipes; ++p) {
            XPipe* pipe = connection.get_pipe_factory()->new_pipe(name, static_cast<unsigned long>(p), 0);
            if (!pipe) return;
            made_.push_back(pipe);
            outs_.push_back(dynamic_cast<ChannelOutput*>(&pipe->get_output()));
            outs_.back()->set_timeout(timeout_ms);
        }
        ready_ = true;
    }
    ~SinkPipes() {
        for (XPipe* pipe : made_) pipe->release();
    }
    SinkPipes(const SinkPipes&) = delete;
    SinkPipes& operator=(const SinkPipes&) = delete;

    bool ready() const { return ready_; }

    // Sends `data` on every pipe at once; seconds until the device's programs
    // have read all of it, or a negative value on failure.
    double transfer(const std::vector<unsigned char>& data) {
        const auto start = std::chrono::steady_clock::now();
        const bool sent = send_all(outs_, data);
        expected_ += data.size() * outs_.size();
        if (!sent || !tally_->wait_for(expected_, static_cast<unsigned long>(timeout_ms_))) return -1;
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    std::shared_ptr<zorbel::SinkTally> tally_;
    long timeout_ms_;
    std::vector<XPipe*> made_;
    std::vector<ChannelOutput*> outs_;
    std::uint64_t expected_ = 0;
    bool ready_ = false;
};

// Times one transfer of `data` on each of two rigs per iteration, in
// alternating order, so the load of a shared machine weighs on both alike.
// Sets the counters <a_name>_MBps, <b_name>_MBps and <b_name>_vs_<a_name>
// (b's throughput over a's). `bytes` is what one transfer carries in all.
template <class RigA, class RigB>
void time_alternately(benchmark::State& state, RigA& a, RigB& b, const std::string& a_name,
                      const std::string& b_name, const std::vector<unsigned char>& data, double bytes) {
    double a_seconds = 0, b_seconds = 0;
    bool a_first = true;
    for (auto _ : state) {
        double ta, tb;
        if (a_first) {
            ta = a.transfer(data);
            tb = b.transfer(data);
        } else {
            tb = b.transfer(data);
            ta = a.transfer(data);
        }
        a_first = !a_first;
        if (ta < 0 || tb < 0) {
            state.SkipWithError("a transfer failed");
            return;
        }
        a_seconds += ta;
        b_seconds += tb;
    }
    const double total = bytes * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(2 * total));
    if (a_seconds > 0 && b_seconds > 0) {
        state.counters[a_name + "_MBps"] = total / a_seconds / 1e6;
        state.counters[b_name + "_MBps"] = total / b_seconds / 1e6;
        state.counters[b_name + "_vs_" + a_name] = a_seconds / b_seconds;
    }
}

}  // namespace bench
}  // namespace zorbel

#endif
