// A soak: several devices, connections started and destroyed, pipes made and
// released while other pipes carry random traffic, devices unplugged and
// plugged back at random. At the end every byte a device confirmed was
// received, every round trip that completed was exact, and nothing is left
// behind: no thread, no device claim (and, under AddressSanitizer, no
// allocation).
//
// It runs for ZORBEL_SOAK_SECONDS (default: 60 under AddressSanitizer, 3
// otherwise, so the ordinary suite stays fast). ZORBEL_FAULT_SEED changes the
// random choices; a failure prints the seed. ZORBEL_SOAK_DEVICES and
// ZORBEL_SOAK_PIPES (traffic pipes per connection) scale it up.
#include <gtest/gtest.h>

#include "support/platform_process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/device_claim.h"
#include "fixtures/threads.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZORBEL_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZORBEL_SOAK_ASAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

long env_or(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v ? std::strtol(v, nullptr, 0) : fallback;
}

long soak_seconds() {
#ifdef ZORBEL_SOAK_ASAN
    return env_or("ZORBEL_SOAK_SECONDS", 60);
#else
    return env_or("ZORBEL_SOAK_SECONDS", 3);
#endif
}

bool claim_free(const std::string& id) {
    zorbel::DeviceClaim::Outcome outcome;
    return zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id(id.c_str()), outcome) != nullptr;
}

char pipe_name[] = "soak";

// One device with its fixed programs and the record of what happened to it.
struct SoakDevice {
    zorbel::EmulatedDevice dev;
    std::string id;
    std::string hardware_id;
    std::shared_ptr<zorbel::SinkTally> tally = std::make_shared<zorbel::SinkTally>();
    // Bumped on every unplug. The device keeps its programs and channels
    // while it is off the bus, so round trips and the source's stream are
    // judged byte for byte across unplugs too.
    std::atomic<unsigned> unplugs{0};
    // Bytes to the sink that the device confirmed.
    std::atomic<std::uint64_t> confirmed{0};
    // Serialises unplug/plug against one another.
    std::mutex plug_mutex;
};

struct Counters {
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> pipes{0};
    std::atomic<std::uint64_t> echo_rounds{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> failed_rounds{0};
    std::atomic<int> max_pipes_at_once{0};
    std::atomic<int> pipes_now{0};
    std::atomic<int> max_connections_at_once{0};
    std::atomic<int> connections_now{0};
};

void raise_max(std::atomic<int>& max, int now) {
    for (int m = max.load(); now > m && !max.compare_exchange_weak(m, now);) {
    }
}

// Counts one pipe for as long as it is held.
struct PipeCount {
    explicit PipeCount(Counters& n) : n(n) {
        ++n.pipes;
        raise_max(n.max_pipes_at_once, ++n.pipes_now);
    }
    ~PipeCount() { --n.pipes_now; }
    Counters& n;
};

// Traffic pipes 1..P echo; the sink and the source sit on numbers of their
// own, above any traffic pipe.
constexpr unsigned long kSinkPipe = 124;
constexpr unsigned long kSourcePipe = 125;

// One traffic pipe's life on a running connection: make it, run random echo
// rounds or source reads, release it. Returns when the deadline passed, the
// connection finished, or a round failed (the pipe is then released; the
// caller makes a new one).
void pipe_life(ChanIOControl& c, SoakDevice& d, unsigned long num, std::mt19937_64& rng,
               Clock::time_point until, Counters& n) {
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, num, 0);
    if (!pipe) return;
    PipeCount counted(n);
    Input& in = pipe->get_input();
    ChannelOutput& out = dynamic_cast<ChannelOutput&>(pipe->get_output());
    in.set_timeout(100);
    out.set_timeout(300);
    const int rounds = 1 + static_cast<int>(rng() % 20);
    for (int r = 0; r < rounds && Clock::now() < until && !c.get_block_driver()->is_finished(); ++r) {
        std::vector<unsigned char> msg(1 + rng() % 3000);
        for (auto& b : msg) b = static_cast<unsigned char>(rng());
        const long len = static_cast<long>(msg.size());
        bool ok = out.write(msg.data(), len) == len;
        const auto round_deadline = Clock::now() + std::chrono::seconds(3);
        while (ok && !out.flush())
            if (out.is_bad() || Clock::now() > round_deadline) ok = false;
        std::vector<unsigned char> back(msg.size());
        std::size_t have = 0;
        while (ok && have < back.size() && Clock::now() < round_deadline && !in.is_bad()) {
            long got = in.read(back.data() + have, static_cast<long>(back.size() - have));
            if (got < 0) break;
            have += static_cast<std::size_t>(got);
        }
        if (!ok || have < back.size()) {
            ++n.failed_rounds;
            break;  // the pipe's streams may be out of step now: start afresh
        }
        EXPECT_EQ(back, msg) << "echo on pipe " << num << " of device " << d.id;
        ++n.echo_rounds;
        n.bytes += 2 * msg.size();
    }
    EXPECT_TRUE(pipe->release());
}

// Sends random bytes to the device's sink while the connection runs, counting
// what the device confirmed.
void sink_life(ChanIOControl& c, SoakDevice& d, std::mt19937_64& rng, Clock::time_point until, Counters& n) {
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, kSinkPipe, 0);
    if (!pipe) return;
    PipeCount counted(n);
    ChannelOutput& out = dynamic_cast<ChannelOutput&>(pipe->get_output());
    out.set_timeout(300);
    std::vector<unsigned char> buf(2048);
    while (Clock::now() < until && !c.get_block_driver()->is_finished() && !out.is_bad()) {
        const long len = static_cast<long>(1 + rng() % buf.size());
        for (long i = 0; i < len; ++i) buf[static_cast<std::size_t>(i)] = static_cast<unsigned char>(rng());
        if (out.write(buf.data(), len) != len) break;
        // Only a flush that returned true counts: the device asked for the
        // next block, so it holds these bytes.
        if (!out.flush()) break;
        d.confirmed += static_cast<std::uint64_t>(len);
        n.bytes += static_cast<std::uint64_t>(len);
    }
    EXPECT_TRUE(pipe->release());
}

// Reads the source on the device; the stream must be the source pattern from
// its start, across unplugs of the device.
void source_life(ChanIOControl& c, SoakDevice& d, std::mt19937_64& rng, Clock::time_point until,
                 Counters& n) {
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, kSourcePipe, 0);
    if (!pipe) return;
    PipeCount counted(n);
    Input& in = pipe->get_input();
    in.set_timeout(100);
    std::uint64_t k = 0;
    std::vector<unsigned char> buf(4096);
    while (Clock::now() < until && !c.get_block_driver()->is_finished() && !in.is_bad()) {
        long got = in.read(buf.data(), static_cast<long>(1 + rng() % buf.size()));
        if (got <= 0) continue;
        for (long i = 0; i < got; ++i, ++k)
            if (buf[static_cast<std::size_t>(i)] != zorbel::source_pattern(k)) {
                ADD_FAILURE() << "source of device " << d.id << ": byte " << k << " differs";
                EXPECT_TRUE(pipe->release());
                return;
            }
        n.bytes += static_cast<std::uint64_t>(got);
    }
    EXPECT_TRUE(pipe->release());
}

TEST(Soak, ConnectionsPipesAndHotPlugUnderTraffic) {
    const std::uint64_t seed = static_cast<std::uint64_t>(env_or("ZORBEL_FAULT_SEED", 1));
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Device numbers 0 to 3 are all a connection can reach.
    const int devices = static_cast<int>(std::min(4L, std::max(1L, env_or("ZORBEL_SOAK_DEVICES", 3))));
    // Traffic pipes sit below the sink's and the source's numbers.
    const int traffic_pipes = static_cast<int>(std::min(123L, std::max(1L, env_or("ZORBEL_SOAK_PIPES", 4))));
    const double drop = env_or("ZORBEL_SOAK_DROP_PERMILLE", 10) / 1000.0;
    const auto until = Clock::now() + std::chrono::seconds(soak_seconds());

    std::thread([] {}).join();  // a runtime's own helper thread, before counting
    const zorbel::testing::ThreadWatch threads;
    USBSeqDriver::open_retries.store(10);
    USBSeqDriver::open_retry_pause.store(10);  // a reconnection window of half a second

    Counters n;
    std::vector<std::unique_ptr<SoakDevice>> devs;
    {
        zorbel::EmulatedBus bus;
        const int root = bus.add_controller(8);
        for (int i = 0; i < devices; ++i) {
            devs.emplace_back(new SoakDevice);
            SoakDevice& d = *devs.back();
            // Claims are system-wide: the ID carries this process's number
            // so that test programs running side by side never meet.
            char pid[16];
            std::snprintf(pid, sizeof pid, "%05u",
                          static_cast<unsigned>(zorbel::detail::process_id()) % 100000u);
            d.id = std::string("S") + static_cast<char>('A' + i) + pid;
            d.hardware_id = "ZBSOAK0000" + std::to_string(10 + i);
            zorbel::EmulatedDeviceSettings s;
            s.id = d.id;
            s.hardware_id = d.hardware_id;
            // A slightly hostile link on every device, so that retries run
            // all the time alongside everything else.
            s.to_device.min_chunk = s.to_host.min_chunk = 1;
            s.to_device.drop_transfer = s.to_host.drop_transfer = drop;
            s.to_device.corrupt_byte = s.to_host.corrupt_byte = drop / 100;
            s.to_device.seed = seed * 100 + static_cast<std::uint64_t>(2 * i);
            s.to_host.seed = seed * 100 + static_cast<std::uint64_t>(2 * i + 1);
            d.dev = bus.add_device(root, 1 + i, s);
            ASSERT_TRUE(d.dev.valid());
            for (int p = 1; p <= traffic_pipes; ++p) d.dev.bind(p, zorbel::echo_program());
            d.dev.bind(static_cast<int>(kSinkPipe), zorbel::sink_program(d.tally));
            d.dev.bind(static_cast<int>(kSourcePipe), zorbel::source_program());
        }

        // Unplugs a random device now and then, mostly briefly (the
        // connection reconnects), sometimes for longer (it finishes).
        std::atomic<bool> stop_chaos{false};
        std::thread chaos([&] {
            std::mt19937_64 rng(seed + 7);
            while (!stop_chaos.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 600));
                SoakDevice& d = *devs[rng() % devs.size()];
                std::lock_guard<std::mutex> lock(d.plug_mutex);
                ++d.unplugs;
                d.dev.unplug();
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 4 == 0 ? 800 : 20));
                d.dev.plug();
            }
        });

        // One worker per device: connections come and go on it; each carries
        // traffic pipes on threads of their own, a sink and a source, and
        // pipes are made and released while the others flow.
        std::vector<std::thread> workers;
        for (int i = 0; i < devices; ++i) {
            workers.emplace_back([&, i] {
                SoakDevice& d = *devs[static_cast<std::size_t>(i)];
                std::mt19937_64 rng(seed * 1000 + static_cast<std::uint64_t>(i));
                while (Clock::now() < until) {
                    // The device number of this device right now: the bus
                    // lists devices in order of arrival, and plugging back
                    // moves it behind the others.
                    int index = GetOpenIndexForDeviceByHID(const_cast<char*>(d.hardware_id.c_str()));
                    if (index < 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        continue;
                    }
                    auto c = std::make_unique<ChanIOControl>();
                    if (!c->start(index)) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        continue;
                    }
                    ++n.connections;
                    raise_max(n.max_connections_at_once, ++n.connections_now);
                    const auto conn_until =
                        std::min(until, Clock::now() + std::chrono::milliseconds(300 + rng() % 3000));
                    std::vector<std::thread> users;
                    for (int p = 1; p <= traffic_pipes; ++p) {
                        const std::uint64_t s = rng();
                        users.emplace_back([&, p, s] {
                            std::mt19937_64 r(s);
                            while (Clock::now() < conn_until && !c->get_block_driver()->is_finished())
                                pipe_life(*c, d, static_cast<unsigned long>(p), r, conn_until, n);
                        });
                    }
                    const std::uint64_t s1 = rng(), s2 = rng();
                    users.emplace_back([&, s1] {
                        std::mt19937_64 r(s1);
                        sink_life(*c, d, r, conn_until, n);
                    });
                    users.emplace_back([&, s2] {
                        std::mt19937_64 r(s2);
                        source_life(*c, d, r, conn_until, n);
                    });
                    for (auto& u : users) u.join();
                    // Every pipe is released; the connection goes, now
                    // stopped explicitly or by its destructor.
                    if (rng() % 2) {
                        EXPECT_TRUE(c->stop());
                    }
                    c.reset();
                    --n.connections_now;
                }
            });
        }
        for (auto& w : workers) w.join();
        stop_chaos = true;
        chaos.join();

        // Every byte a device confirmed reached its sink. (Bytes a device
        // received but whose confirmation was lost to an unplug may be there
        // twice, once per session; none may be missing.)
        for (auto& d : devs) {
            EXPECT_TRUE(d->tally->wait_for(d->confirmed.load(), 10000)) << d->id;
            EXPECT_GE(d->tally->bytes(), d->confirmed.load()) << d->id << " lost confirmed bytes";
        }
    }

    for (const std::string& tid : threads.survivors())
        ADD_FAILURE() << "thread " << tid << " outlived its connection or bus";
    for (auto& d : devs) EXPECT_TRUE(claim_free(d->id)) << "claim on " << d->id << " left behind";
    USBSeqDriver::open_retries.store(10);
    USBSeqDriver::open_retry_pause.store(100);

    std::printf(
        "soak: %lld s, %d devices, %llu connections (at most %d at once), %llu pipes (at most %d at once), "
        "%llu echo rounds, %llu failed rounds, %llu bytes\n",
        static_cast<long long>(soak_seconds()), devices,
        static_cast<unsigned long long>(n.connections.load()), n.max_connections_at_once.load(),
        static_cast<unsigned long long>(n.pipes.load()), n.max_pipes_at_once.load(),
        static_cast<unsigned long long>(n.echo_rounds.load()),
        static_cast<unsigned long long>(n.failed_rounds.load()),
        static_cast<unsigned long long>(n.bytes.load()));
    EXPECT_GT(n.connections.load(), 0u);
    EXPECT_GT(n.echo_rounds.load(), 0u);
}

}  // namespace
