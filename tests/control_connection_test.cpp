// A connection end to end on the emulated bus: the device claim across
// connections and processes, pipes carrying data both ways at once, a device
// unplugged and plugged back, a device that stays away, and stopping or
// destroying a connection while a client waits on it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/device_claim.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;

int thread_count() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

// Claims are system-wide and keyed by the device ID, so every ID made here
// carries this process's number: test programs running side by side never
// meet on a claim.
std::string device_id(char tag) {
    char id[8];
    std::snprintf(id, sizeof id, "%c%06u", tag, static_cast<unsigned>(::getpid()) % 1000000u);
    return id;
}

bool claim_free(const std::string& id) {
    zorbel::DeviceClaim::Outcome outcome;
    return zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id(id.c_str()), outcome) != nullptr;
}

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }
ChannelInput& in_of(XPipe* pipe) { return dynamic_cast<ChannelInput&>(pipe->get_input()); }

bool send(XPipe* pipe, const std::vector<unsigned char>& data) {
    ChannelOutput& out = out_of(pipe);
    long n = static_cast<long>(data.size());
    return out.write(data.data(), n) == n && out.flush();
}

// Reads until `n` bytes came, the link ended (-1) or `limit` passed; a read
// that gives up on its own time-out is tried again.
std::vector<unsigned char> receive(XPipe* pipe, size_t n,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::vector<unsigned char> got(n);
    size_t have = 0;
    Clock::time_point deadline = Clock::now() + limit;
    while (have < n && Clock::now() < deadline) {
        long r = in_of(pipe).read(got.data() + have, static_cast<long>(n - have));
        if (r < 0) break;
        have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
}

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return v;
}

char pipe_name[] = "data";

// The emulated buses of this program and of its helper processes share
// claims, as programs on one machine sharing a real device do.
const char shared_scope[] = "connection-test";

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Some runtimes (ThreadSanitizer's) add a helper thread of their own
        // at the first thread start; let that happen before counting.
        std::thread([] {}).join();
        threads_before = thread_count();
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(2);
        bus = std::make_unique<zorbel::EmulatedBus>();
        bus->set_claim_scope(shared_scope);
        root = bus->add_controller();
    }

    void TearDown() override {
        bus.reset();
        EXPECT_EQ(thread_count(), threads_before) << "a thread outlived its connection or bus";
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    zorbel::EmulatedDevice add_device(int port, char tag, bool boot_mode = false) {
        zorbel::EmulatedDeviceSettings settings;
        settings.boot_mode = boot_mode;
        settings.id = device_id(tag);
        settings.hardware_id = "ZBCONN00000" + std::string(1, tag);
        return bus->add_device(root, port, settings);
    }

    int threads_before = 0;
    std::unique_ptr<zorbel::EmulatedBus> bus;
    int root = -1;
};

TEST_F(ConnectionTest, StateFlagsFollowStartAndStop) {
    add_device(1, 'A');
    ChanIOControl c;
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.stop());  // never started
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.start(3));  // no such device
    EXPECT_TRUE(c.stopped());

    ASSERT_TRUE(c.start(0));
    EXPECT_TRUE(c.started());
    EXPECT_TRUE(c.was_started(100));
    EXPECT_FALSE(c.was_started(0));  // 0 never waits
    EXPECT_FALSE(c.was_stopped(1));
    EXPECT_FALSE(claim_free(device_id('A')));

    EXPECT_TRUE(c.stop());
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(c.was_stopped(1));
    EXPECT_FALSE(c.was_started(1));
    EXPECT_TRUE(claim_free(device_id('A')));

    ASSERT_TRUE(c.start(0));  // a stopped connection starts again
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, OneDeviceOneConnectionWithinAProcess) {
    add_device(1, 'A');
    add_device(2, 'B');
    ChanIOControl a, b, c;
    ASSERT_TRUE(a.start(0));
    EXPECT_FALSE(a.start(0));  // held by itself
    EXPECT_FALSE(b.start(0));
    // A running connection keeps its device and claim whatever it is asked.
    EXPECT_FALSE(a.start(1));
    EXPECT_TRUE(claim_free(device_id('B')));
    ASSERT_TRUE(b.start(1));
    EXPECT_FALSE(c.start(0));

    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(c.start(0));
    c.stop();
    b.stop();
}

TEST_F(ConnectionTest, FailedOpenGivesTheClaimBack) {
    add_device(1, 'A');
    USBSeqDriver::open_retries.store(0);  // the ID reads, every open attempt is used up
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));
    EXPECT_TRUE(c.stopped());
    EXPECT_TRUE(claim_free(device_id('A')));
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, DeviceNumbersCountBootModeDevicesFirst) {
    // Device number 1 is the normal-mode device behind a boot-mode one: the
    // connection reads its ID and opens that same device.
    add_device(1, 'A', true);
    add_device(2, 'B');
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));  // boot mode: no ID, no connection
    ASSERT_TRUE(c.start(1));
    EXPECT_FALSE(claim_free(device_id('B')));
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(pipe, nullptr);
    EXPECT_TRUE(pipe->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, PipesCarryDataBothWaysAtOnce) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    constexpr int echo_pipes = 3;
    constexpr size_t echo_bytes = 48 * 1024;
    constexpr size_t stream_bytes = 64 * 1024;
    auto tally = std::make_shared<zorbel::SinkTally>();
    for (int p = 1; p <= echo_pipes; ++p) dev.bind(p, zorbel::echo_program());
    dev.bind(4, zorbel::source_program(stream_bytes));
    dev.bind(5, zorbel::sink_program(tally));

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipeFactory* factory = c.get_pipe_factory();
    std::vector<XPipe*> pipes;
    for (unsigned long p = 1; p <= 5; ++p) {
        pipes.push_back(factory->new_pipe(pipe_name, p, 0));
        ASSERT_NE(pipes.back(), nullptr);
        in_of(pipes.back()).set_timeout(20000);
        out_of(pipes.back()).set_timeout(20000);
    }

    std::vector<std::thread> threads;
    std::vector<std::vector<unsigned char>> echoed(echo_pipes);
    std::atomic<int> failed_sends{0};
    for (int i = 0; i < echo_pipes; ++i) {
        threads.emplace_back([&, i] {
            std::vector<unsigned char> data = pattern(echo_bytes, i);
            // Pieces that do not line up with blocks.
            for (size_t at = 0; at < data.size(); at += 1000) {
                size_t n = std::min<size_t>(1000, data.size() - at);
                if (!send(pipes[i], std::vector<unsigned char>(data.begin() + at, data.begin() + at + n)))
                    ++failed_sends;
            }
        });
        threads.emplace_back([&, i] { echoed[i] = receive(pipes[i], echo_bytes); });
    }
    std::vector<unsigned char> sourced;
    threads.emplace_back([&] { sourced = receive(pipes[3], stream_bytes); });
    std::vector<unsigned char> sunk = pattern(stream_bytes, 99);
    threads.emplace_back([&] {
        if (!send(pipes[4], sunk)) ++failed_sends;
    });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failed_sends.load(), 0);
    for (int i = 0; i < echo_pipes; ++i) EXPECT_EQ(echoed[i], pattern(echo_bytes, i)) << "pipe " << i + 1;
    ASSERT_EQ(sourced.size(), stream_bytes);
    for (size_t k = 0; k < stream_bytes; ++k)
        ASSERT_EQ(sourced[k], zorbel::source_pattern(k)) << "byte " << k;
    ASSERT_TRUE(tally->wait_for(stream_bytes, 20000));
    CRC32 crc;
    crc.update(sunk.data(), sunk.size());
    EXPECT_EQ(tally->bytes(), stream_bytes);
    EXPECT_EQ(tally->crc32(), static_cast<std::uint32_t>(crc.get()));

    for (XPipe* p : pipes) EXPECT_TRUE(p->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, UnpluggedAndBackWithinTheWindowTheStreamsGoOn) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    add_device(2, 'B');  // the device comes back behind this one: new index
    dev.bind(1, zorbel::echo_program());
    dev.bind(3, zorbel::source_program());
    USBSeqDriver::open_retry_pause.store(10);  // 50 attempts: half a second

    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    XPipe* source = c.get_pipe_factory()->new_pipe(pipe_name, 3, 0);
    ASSERT_TRUE(echo && source);
    // Short input time-outs, read again: a failed fetch asks again within
    // 100 ms, so the new session's first block is asked for promptly.
    in_of(echo).set_timeout(200);
    in_of(source).set_timeout(200);
    out_of(echo).set_timeout(20000);
    std::vector<unsigned char> before = pattern(3000, 1);
    ASSERT_TRUE(send(echo, before));
    EXPECT_EQ(receive(echo, before.size()), before);
    std::vector<unsigned char> streamed = receive(source, 4096);
    ASSERT_EQ(streamed.size(), 4096u);

    dev.unplug();  // the source is streaming
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_TRUE(dev.plug());

    // The source's stream goes on: what the old session still delivered
    // continues it without a gap, then the restarted program's stream begins.
    std::vector<unsigned char> fresh(4096);
    for (size_t k = 0; k < fresh.size(); ++k) fresh[k] = zorbel::source_pattern(k);
    auto restart = streamed.end();
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        std::vector<unsigned char> more = receive(source, 512, std::chrono::milliseconds(300));
        if (more.empty() && c.get_block_driver()->is_finished()) break;
        streamed.insert(streamed.end(), more.begin(), more.end());
        restart = std::search(streamed.begin() + 1, streamed.end(), fresh.begin(), fresh.end());
        if (restart != streamed.end()) break;
    }
    ASSERT_NE(restart, streamed.end()) << "the stream did not go on after the device came back";
    for (size_t k = 0; k < static_cast<size_t>(restart - streamed.begin()); ++k)
        ASSERT_EQ(streamed[k], zorbel::source_pattern(k)) << "old session, byte " << k;

    std::vector<unsigned char> after = pattern(3000, 2);
    EXPECT_TRUE(send(echo, after));
    EXPECT_EQ(receive(echo, after.size()), after);
    EXPECT_FALSE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(source->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, DeviceThatStaysAwayFailsWaitingClientsPromptly) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    dev.bind(1, zorbel::source_program(512));  // one block, then silence
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* quiet = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    XPipe* unread = c.get_pipe_factory()->new_pipe(pipe_name, 2, 0);  // no program
    ASSERT_TRUE(quiet && unread);
    // No limits of their own: only the end of the link can release them.
    in_of(quiet).set_timeout(0);
    out_of(unread).set_timeout(0);
    ASSERT_EQ(receive(quiet, 512).size(), 512u);

    long read_result = 1;
    bool flushed = true;
    Clock::time_point start = Clock::now();
    std::thread reader([&] {
        unsigned char b[16];
        read_result = in_of(quiet).read(b, sizeof b);
    });
    std::thread writer([&] { flushed = send(unread, std::vector<unsigned char>(100, 7)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dev.unplug();
    reader.join();
    writer.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_LE(read_result, 0);
    EXPECT_FALSE(flushed);
    EXPECT_TRUE(c.get_block_driver()->is_finished());
    EXPECT_TRUE(quiet->release());
    EXPECT_TRUE(unread->release());
    EXPECT_TRUE(c.stop());
}

TEST_F(ConnectionTest, StopReleasesAClientBlockedInARead) {
    add_device(1, 'A');  // nothing bound: the read waits for ever
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_NE(pipe, nullptr);
    in_of(pipe).set_timeout(0);
    long result = 1;
    std::thread reader([&] {
        unsigned char b[16];
        result = in_of(pipe).read(b, sizeof b);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.stop());
    reader.join();
    EXPECT_LE(result, 0);
    EXPECT_TRUE(pipe->release());
}

TEST_F(ConnectionTest, DestroyingARunningConnectionStopsIt) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    dev.bind(1, zorbel::echo_program());
    {
        ChanIOControl c;
        ASSERT_TRUE(c.start(0));
        XPipe* pipe = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
        ASSERT_NE(pipe, nullptr);
        in_of(pipe).set_timeout(20000);
        std::vector<unsigned char> data = pattern(600, 3);
        ASSERT_TRUE(send(pipe, data));
        EXPECT_EQ(receive(pipe, data.size()), data);
        EXPECT_TRUE(pipe->release());
    }
    EXPECT_TRUE(claim_free(device_id('A')));
    ChanIOControl again;
    EXPECT_TRUE(again.start(0));
}

TEST_F(ConnectionTest, ChannelPipeNumbersMapToChannelPairs) {
    add_device(1, 'A');
    ChanIOControl c;  // pipes can be made before start
    XPipeFactory* f = c.get_pipe_factory();
    EXPECT_EQ(f->new_pipe(pipe_name, 0, 0), nullptr);
    EXPECT_EQ(f->new_pipe(pipe_name, 126, 0), nullptr);
    XPipe* last = f->new_pipe(pipe_name, 125, 0);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->get_num(), 125u);
    EXPECT_EQ(out_of(last).get_id(), 249);
    EXPECT_EQ(in_of(last).get_id(), 250);
    EXPECT_EQ(c.get_block_driver()->get_channel(249), static_cast<FormalChannel*>(&out_of(last)));
    EXPECT_EQ(c.get_block_driver()->get_channel(250), static_cast<FormalChannel*>(&in_of(last)));

    XPipe* first = f->new_pipe(nullptr, 1, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(out_of(first).get_id(), 1);
    EXPECT_EQ(in_of(first).get_id(), 2);
    // A number in use is refused, and the refusal leaves the pipe's single
    // reference as it was.
    EXPECT_EQ(f->new_pipe(pipe_name, 1, 0), nullptr);
    EXPECT_EQ(f->get_pipes_total(), 2);
    EXPECT_TRUE(first->release());
    EXPECT_FALSE(c.get_block_driver()->channel_registered(1));
    XPipe* again = f->new_pipe(pipe_name, 1, 0);  // free again
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(static_cast<XMCPPipeFactory*>(f)->get_class(), "XMCPPipeFactory");
    EXPECT_TRUE(again->release());
    EXPECT_TRUE(last->release());
}

// --- two processes ------------------------------------------------------------

// Run in a child process (see ConnectionAcrossProcesses): holds a connection
// to a device with the ID it is given, until told to stop or killed.
// Commands arrive on descriptor 4, answers leave on descriptor 3.
TEST(ConnectionHolder, HoldsADeviceForItsParent) {
    const char* id = std::getenv("ZORBEL_TEST_HOLD_ID");
    if (!id) GTEST_SKIP() << "runs only as the helper process of another test";
    zorbel::EmulatedBus bus;
    bus.set_claim_scope(shared_scope);
    zorbel::EmulatedDeviceSettings settings;
    settings.id = id;
    bus.add_device(bus.add_controller(), 1, settings);
    ChanIOControl c;
    char answer = c.start(0) ? 'y' : 'n';
    ASSERT_EQ(::write(3, &answer, 1), 1);
    char command;
    while (::read(4, &command, 1) == 1) {
        if (command == 's') {
            answer = c.stop() ? 'y' : 'n';
            ASSERT_EQ(::write(3, &answer, 1), 1);
        }
    }
}

// Moves a descriptor above the two the holder's ends are placed on, so that
// placing one end never overwrites the other before it is placed.
int above_holder_fds(int fd) {
    int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return high;
}

class HolderProcess {
public:
    explicit HolderProcess(const std::string& id) {
        int to_child[2], from_child[2];
        if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
        for (int* fd : {&to_child[0], &to_child[1], &from_child[0], &from_child[1]}) *fd = above_holder_fds(*fd);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 3);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 4);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::string env = "ZORBEL_TEST_HOLD_ID=" + id;
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e) envp.push_back(*e);
        envp.push_back(env.data());
        envp.push_back(nullptr);
        char exe[] = "/proc/self/exe";
        char filter[] = "--gtest_filter=ConnectionHolder.HoldsADeviceForItsParent";
        char* argv[] = {exe, filter, nullptr};
        if (::posix_spawn(&pid, exe, &actions, nullptr, argv, envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(to_child[0]);
        ::close(from_child[1]);
        commands = to_child[1];
        answers = from_child[0];
    }
    ~HolderProcess() {
        ::close(commands);  // end of commands: the holder returns
        if (pid > 0) ::waitpid(pid, nullptr, 0);
        ::close(answers);
    }
    // The holder's answer to its start or to the last command.
    char answer() {
        char a = 0;
        return ::read(answers, &a, 1) == 1 ? a : 0;
    }
    char stop() {
        char s = 's';
        return ::write(commands, &s, 1) == 1 ? answer() : 0;
    }
    void kill() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

private:
    pid_t pid = -1;
    int commands = -1;
    int answers = -1;
};

TEST_F(ConnectionTest, AnotherProcessHoldsTheDeviceUntilItStopsOrDies) {
    add_device(1, 'P');
    ChanIOControl c;
    {
        HolderProcess holder(device_id('P'));
        ASSERT_EQ(holder.answer(), 'y');
        EXPECT_FALSE(c.start(0));
        EXPECT_EQ(holder.stop(), 'y');
        ASSERT_TRUE(c.start(0));
        EXPECT_TRUE(c.stop());
    }
    {
        HolderProcess holder(device_id('P'));
        ASSERT_EQ(holder.answer(), 'y');
        EXPECT_FALSE(c.start(0));
        holder.kill();
        EXPECT_TRUE(c.start(0));
        EXPECT_TRUE(c.stop());
    }
}

}  // namespace
