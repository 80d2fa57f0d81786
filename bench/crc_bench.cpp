// Bulk CRC-32 against zlib's crc32(), against ISA-L's CRC function called
// directly (where the library is built with it) and against memcpy of the
// same bytes, on the block payload size (512 bytes) and on 64 KiB. Every CRC
// case feeds each result into the next call, as a running register is used,
// so all of them pay the same latency chain. Summary lines:
//   RATIO crc_vs_zlib_512 <our throughput / zlib's>
//   RATIO crc_vs_zlib_64k <our throughput / zlib's>
//   RATIO crc_vs_isal_512 <our throughput / ISA-L's, called directly>
//   FIGURE <name> <throughput> GB/s
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/throughput_recorder.h"
#include "block/crc32_fast.h"

#if defined(ZORBEL_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

namespace {

std::vector<unsigned char> input(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 131 + 7);
    return v;
}

// Feeds one buffer of range(0) bytes through `loop` on every iteration. A
// template, so each case is a direct call as a caller of the library makes
// it, not a call through a pointer.
template <class Loop>
void run_crc(benchmark::State& state, Loop loop) {
    auto buf = input(static_cast<std::size_t>(state.range(0)));
    std::uint32_t reg = 0xFFFFFFFFu;
    for (auto _ : state) {
        reg = loop(reg, buf.data(), buf.size());
        benchmark::DoNotOptimize(reg);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OurCrc(benchmark::State& state) {
    run_crc(state, [](std::uint32_t reg, const void* p, std::size_t n) {
        return zorbel::detail::crc32_update(reg, p, n);
    });
    state.SetLabel(zorbel::detail::crc32_implementation());
}

void BM_PortableCrc(benchmark::State& state) {
    run_crc(state, [](std::uint32_t reg, const void* p, std::size_t n) {
        return zorbel::detail::crc32_update_portable(reg, p, n);
    });
}

// The fallback used where ISA-L is missing, measured in every x86-64 build.
void BM_FoldingCrc(benchmark::State& state) {
    if (!zorbel::detail::crc32_folding_available()) {
        state.SkipWithError("no carry-less multiplication on this CPU");
        return;
    }
    run_crc(state, [](std::uint32_t reg, const void* p, std::size_t n) {
        return zorbel::detail::crc32_update_folding(reg, p, n);
    });
}

#if defined(ZORBEL_HAVE_ISAL)
// ISA-L's own entry point called directly on the same buffers: what the
// library's interface adds around it is the difference to BM_OurCrc.
void BM_IsalCrc(benchmark::State& state) {
    run_crc(state, [](std::uint32_t crc, const void* p, std::size_t n) {
        return crc32_gzip_refl(crc, static_cast<const unsigned char*>(p), n);
    });
}
BENCHMARK(BM_IsalCrc)->Arg(512)->Arg(65536);
#endif

void BM_ZlibCrc(benchmark::State& state) {
    auto buf = input(static_cast<std::size_t>(state.range(0)));
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for (auto _ : state) {
        crc = ::crc32(crc, buf.data(), static_cast<uInt>(buf.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
    auto src = input(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_OurCrc)->Arg(512)->Arg(65536);
BENCHMARK(BM_PortableCrc)->Arg(512)->Arg(65536);
BENCHMARK(BM_FoldingCrc)->Arg(512)->Arg(65536);
BENCHMARK(BM_ZlibCrc)->Arg(512)->Arg(65536);
BENCHMARK(BM_Memcpy)->Arg(512)->Arg(65536);

}  // namespace

int main(int argc, char** argv) {
    zorbel::bench::ThroughputRecorder recorder;
    if (!zorbel::bench::run_benchmarks(argc, argv, recorder)) return 1;

    auto gbps = [&](const char* name) { return recorder.bytes_per_second(name) / 1e9; };
    for (const char* size : {"512", "65536"}) {
        double ours = gbps((std::string("BM_OurCrc/") + size).c_str());
        double zlib = gbps((std::string("BM_ZlibCrc/") + size).c_str());
        const char* tag = std::strcmp(size, "512") == 0 ? "512" : "64k";
        if (ours > 0 && zlib > 0) std::printf("RATIO crc_vs_zlib_%s %.2f\n", tag, ours / zlib);
    }
    const double isal = gbps("BM_IsalCrc/512");
    if (isal > 0 && gbps("BM_OurCrc/512") > 0)
        std::printf("RATIO crc_vs_isal_512 %.2f\n", gbps("BM_OurCrc/512") / isal);
    const std::pair<const char*, const char*> figures[] = {{"crc_512", "BM_OurCrc/512"},
                                                           {"crc_64k", "BM_OurCrc/65536"},
                                                           {"crc_portable_512", "BM_PortableCrc/512"},
                                                           {"crc_portable_64k", "BM_PortableCrc/65536"},
                                                           {"crc_folding_512", "BM_FoldingCrc/512"},
                                                           {"crc_folding_64k", "BM_FoldingCrc/65536"},
                                                           {"isal_crc_512", "BM_IsalCrc/512"},
                                                           {"isal_crc_64k", "BM_IsalCrc/65536"},
                                                           {"zlib_crc_512", "BM_ZlibCrc/512"},
                                                           {"zlib_crc_64k", "BM_ZlibCrc/65536"},
                                                           {"memcpy_512", "BM_Memcpy/512"},
                                                           {"memcpy_64k", "BM_Memcpy/65536"}};
    for (const auto& f : figures)
        if (gbps(f.second) > 0) std::printf("FIGURE %s %.2f GB/s\n", f.first, gbps(f.second));
    return 0;
}
