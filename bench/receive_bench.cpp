// The pushed receive path at full load: a stream of full 512-byte data blocks
// on four channels, handed to dispatch_block_callback in 1000-byte chunks as
// the USB reader thread does, each block taken as soon as it is delivered.
// Beside it, on the same bytes: the bulk CRC alone and memcpy alone, which
// together are the floor of what receiving can cost. Summary lines:
//   RATIO receive_vs_memcpy <receive throughput / memcpy throughput>
//   FIGURE <name> <throughput> GB/s
//
// `receive_bench --passes=N` skips the benchmarks and only feeds the stream N
// times through feed_stream(), for counting instructions per block under
// valgrind --tool=callgrind --toggle-collect=*feed_stream*.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/throughput_recorder.h"
#include "block/crc32_fast.h"
#include "block/testing/recording_transport.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

namespace {

constexpr int kChannels = 4;
// 256 blocks per channel: every block number is used once per pass, so the
// stream can be fed again and again and each channel expects 0 at its start.
constexpr int kBlocks = 256 * kChannels;
constexpr unsigned kChunk = 1000;

// Does what an input stream does when a block has arrived, minus the request
// for the next one: take the block and clear the flag.
class Sink : public FormalChannel {
public:
    Sink(BlockDriver* bd, unsigned char id) : FormalChannel(bd, id) {}
    ~Sink() override { unregister(); }
    bool take() {
        if (waits_for_data()) return false;
        taken_bytes += static_cast<std::uint64_t>(received_length.load(std::memory_order_relaxed));
        expected_block.store(static_cast<unsigned char>(expected_block.load(std::memory_order_relaxed) + 1),
                             std::memory_order_relaxed);
        flag.clear();
        return true;
    }
    std::uint64_t taken_bytes = 0;
};

struct Receiver {
    zorbel::testing::RecordingTransport wire;
    BlockDriver bd{"", &wire};
    std::vector<std::unique_ptr<Sink>> sinks;
    std::vector<unsigned char> stream;
    long taken = 0;

    Receiver() {
        bd.link_check = false;
        bd.connected = true;
        for (int c = 0; c < kChannels; ++c)
            sinks.push_back(std::make_unique<Sink>(&bd, static_cast<unsigned char>(c + 1)));
        std::vector<unsigned char> payload(512);
        for (int i = 0; i < kBlocks; ++i) {
            for (std::size_t k = 0; k < payload.size(); ++k)
                payload[k] = static_cast<unsigned char>(i * 31 + k);
            auto block = zorbel::testing::frame_block(BlockProtocol::blk_data,
                                                      static_cast<unsigned char>(1 + i % kChannels),
                                                      static_cast<unsigned char>(i / kChannels), payload);
            stream.insert(stream.end(), block.begin(), block.end());
        }
    }
};

// One pass over the stream; returns the blocks taken. The blocks go to the
// channels in turn, so the reader looks only at the channel whose block is
// due, as a stream waiting on its own channel would.
__attribute__((noinline)) long feed_stream(Receiver& r) {
    long taken = 0;
    std::size_t next = 0;
    unsigned char* data = r.stream.data();
    const std::size_t size = r.stream.size();
    for (std::size_t pos = 0; pos < size; pos += kChunk) {
        unsigned n = static_cast<unsigned>(std::min<std::size_t>(kChunk, size - pos));
        r.bd.dispatch_block_callback(data + pos, n);
        while (r.sinks[next]->take()) {
            ++taken;
            next = (next + 1) % r.sinks.size();
        }
    }
    return taken;
}

void BM_Receive(benchmark::State& state) {
    Receiver r;
    for (auto _ : state) {
        long taken = feed_stream(r);
        if (taken != kBlocks) {
            state.SkipWithError("a block was not delivered");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.stream.size()));
    state.counters["blocks_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlocks, benchmark::Counter::kIsRate);
}

void BM_CrcSameBytes(benchmark::State& state) {
    Receiver r;
    std::uint32_t reg = 0xFFFFFFFFu;
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < r.stream.size(); pos += kChunk)
            reg = zorbel::detail::crc32_update(reg, r.stream.data() + pos,
                                               std::min<std::size_t>(kChunk, r.stream.size() - pos));
        benchmark::DoNotOptimize(reg);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.stream.size()));
}

void BM_MemcpySameBytes(benchmark::State& state) {
    Receiver r;
    std::vector<unsigned char> dst(512);
    for (auto _ : state) {
        // Into one 512-byte buffer, as payloads land in a channel's buffer.
        for (std::size_t pos = 0; pos < r.stream.size(); pos += 512) {
            std::memcpy(dst.data(), r.stream.data() + pos, std::min<std::size_t>(512, r.stream.size() - pos));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.stream.size()));
}

BENCHMARK(BM_Receive);
BENCHMARK(BM_CrcSameBytes);
BENCHMARK(BM_MemcpySameBytes);

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strncmp(argv[1], "--passes=", 9) == 0) {
        long passes = std::atol(argv[1] + 9);
        Receiver r;
        long taken = 0;
        for (long i = 0; i < passes; ++i) taken += feed_stream(r);
        std::printf("blocks %ld of %ld\n", taken, passes * kBlocks);
        return taken == passes * kBlocks ? 0 : 1;
    }
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    double receive = recorder.bytes_per_second("BM_Receive") / 1e9;
    double crc = recorder.bytes_per_second("BM_CrcSameBytes") / 1e9;
    double copy = recorder.bytes_per_second("BM_MemcpySameBytes") / 1e9;
    if (receive > 0 && copy > 0) std::printf("RATIO receive_vs_memcpy %.3f\n", receive / copy);
    if (receive > 0) std::printf("FIGURE receive_path %.2f GB/s\n", receive);
    if (crc > 0) std::printf("FIGURE receive_crc_same_bytes %.2f GB/s\n", crc);
    if (copy > 0) std::printf("FIGURE receive_memcpy_same_bytes %.2f GB/s\n", copy);
    return 0;
}
