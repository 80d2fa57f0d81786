// A connection on the emulated bus: the device claim across processes (a
// holder stopping or killed) and pipe numbers. The scenarios that hold on
// every backend (state flags, one connection per device, a failed open giving
// the claim back, data both ways, a device unplugged and back or staying away,
// stopping or destroying a running connection) are in device_scenarios_*_test.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/device_claim.h"
#include "fixtures/device_rig.h"
#include "fixtures/threads.h"
#include "fixtures/watchdog.h"
#include "zorbel/control.h"
#include "zorbel/emulator.h"
#include "zorbel/usb.h"

namespace {

using Clock = std::chrono::steady_clock;

// Claims are system-wide and keyed by the device ID; these IDs carry this
// process's number, so test programs running side by side never meet.
using zorbel::testing::DeviceRig;
std::string device_id(char tag) { return DeviceRig::device_id(tag); }

ChannelOutput& out_of(XPipe* pipe) { return dynamic_cast<ChannelOutput&>(pipe->get_output()); }
ChannelInput& in_of(XPipe* pipe) { return dynamic_cast<ChannelInput&>(pipe->get_input()); }

char pipe_name[] = "data";

// The emulated buses of this program and of its helper processes share
// claims, as programs on one machine sharing a real device do.
const char kSharedScope[] = "connection-test";

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        threads_ = std::make_unique<zorbel::testing::ThreadWatch>();
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(2);
        bus_ = std::make_unique<zorbel::EmulatedBus>();
        bus_->set_claim_scope(kSharedScope);
        root_ = bus_->add_controller();
    }

    void TearDown() override {
        bus_.reset();
        for (const std::string& tid : threads_->survivors())
            ADD_FAILURE() << "thread " << tid << " outlived its connection or bus";
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    zorbel::EmulatedDevice add_device(int port, char tag, bool boot_mode = false) {
        zorbel::EmulatedDeviceSettings settings;
        settings.boot_mode = boot_mode;
        settings.id = device_id(tag);
        settings.hardware_id = "ZBCONN00000" + std::string(1, tag);
        return bus_->add_device(root_, port, settings);
    }

    std::unique_ptr<zorbel::testing::ThreadWatch> threads_;
    std::unique_ptr<zorbel::EmulatedBus> bus_;
    int root_ = -1;
};

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

// One number, one pipe: two threads asking for it at once get one pipe
// between them, and a pipe made while the last one with its number is being
// released keeps its channels. (Before, both threads could succeed, and the
// old pipe's destructor took the new one's channel slots.)
TEST_F(ConnectionTest, APipeNumberIsInUseOnceAcrossThreads) {
    add_device(1, 'A');
    zorbel::testing::Watchdog watchdog(std::chrono::seconds(120), "pipes made and released on two threads");
    ChanIOControl c;
    XPipeFactory* f = c.get_pipe_factory();
    BlockDriver* engine = c.get_block_driver();
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> ready{0};
        XPipe* made[2] = {nullptr, nullptr};
        auto make = [&](int k) {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
            made[k] = f->new_pipe(pipe_name, 7, 0);
        };
        std::thread other(make, 1);
        make(0);
        other.join();
        ASSERT_EQ((made[0] != nullptr) + (made[1] != nullptr), 1) << "round " << round;
        XPipe* old = made[0] ? made[0] : made[1];

        std::thread releaser([old] { EXPECT_TRUE(old->release()); });
        XPipe* fresh = nullptr;
        while ((fresh = f->new_pipe(pipe_name, 7, 0)) == nullptr) std::this_thread::yield();
        releaser.join();
        EXPECT_EQ(engine->get_channel(13), static_cast<FormalChannel*>(&out_of(fresh))) << "round " << round;
        EXPECT_EQ(engine->get_channel(14), static_cast<FormalChannel*>(&in_of(fresh))) << "round " << round;
        EXPECT_TRUE(fresh->release());
    }
    EXPECT_EQ(f->get_pipes_total(), 0);
}

// What stop() leaves behind (every channel woken) is no failure once the
// connection runs again: the first flush on a pipe that lived through the
// stop waits for the device. The device runs no program on the pipe until
// after the restart, so nothing it asked for is queued at the stop. (Before,
// that flush returned false at once.)
TEST_F(ConnectionTest, APipeWorksAfterStopAndStart) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 5, 0);
    ASSERT_NE(echo, nullptr);
    const unsigned char sent[3] = {7, 8, 9};
    ASSERT_EQ(out_of(echo).write(sent, 3), 3);

    ASSERT_TRUE(c.stop());
    ASSERT_TRUE(c.start(0));
    dev.bind(5, zorbel::echo_program());
    EXPECT_TRUE(out_of(echo).flush());
    unsigned char got[3] = {};
    EXPECT_EQ(in_of(echo).read(got, 3), 3);
    EXPECT_EQ(got[2], 9);
    EXPECT_TRUE(echo->release());
    EXPECT_TRUE(c.stop());
}

// A read that stop() wakes never takes the block it already took, also after
// a reconnection: the stream's last block was number 0 and the device sends
// nothing more. (Before, the reconnection set the expected number back to 0
// beside a received number of 0, and the wake-up handed the old bytes out
// again as a new block.)
TEST_F(ConnectionTest, AReadWokenByStopNeverTakesAnOldBlockAgain) {
    zorbel::EmulatedDevice dev = add_device(1, 'A');
    USBSeqDriver::open_retry_pause.store(10);
    dev.bind(1, zorbel::echo_program());
    auto runs = std::make_shared<std::atomic<int>>(0);
    dev.bind(4, [runs](zorbel::DevicePipe& pipe) {
        const unsigned char hello[5] = {'h', 'e', 'l', 'l', 'o'};
        if (runs->fetch_add(1) == 0) pipe.write_all(hello, 5);  // once in the device's life
        while (!pipe.finished()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    XPipe* once = c.get_pipe_factory()->new_pipe(pipe_name, 4, 0);
    XPipe* echo = c.get_pipe_factory()->new_pipe(pipe_name, 1, 0);
    ASSERT_TRUE(once && echo);
    unsigned char got[5] = {};
    ASSERT_EQ(in_of(once).read(got, 5), 5);

    dev.unplug();
    ASSERT_TRUE(dev.plug());
    // Data through the echo shows that the connection reads again.
    in_of(echo).set_timeout(200);
    unsigned char ping[1] = {42};
    ASSERT_EQ(out_of(echo).write(ping, 1), 1);
    ASSERT_TRUE(out_of(echo).flush());
    unsigned char pong[1] = {0};
    for (int i = 0; i < 50 && in_of(echo).read(pong, 1) != 1; ++i) {
    }
    ASSERT_EQ(pong[0], 42);

    std::memset(got, 0, sizeof got);
    auto reading = std::async(std::launch::async, [&] { return in_of(once).read(got, 5); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.stop());
    EXPECT_LE(reading.get(), 0);
    EXPECT_EQ(got[0], 0);
    EXPECT_TRUE(once->release());
    EXPECT_TRUE(echo->release());
}

// --- two processes ------------------------------------------------------------

// Run in a child process (see ConnectionAcrossProcesses): holds a connection
// to a device with the ID it is given, until told to stop or killed.
// Commands arrive on descriptor 4, answers leave on descriptor 3.
TEST(ConnectionHolder, HoldsADeviceForItsParent) {
    const char* id = std::getenv("ZORBEL_TEST_HOLD_ID");
    if (!id) GTEST_SKIP() << "runs only as the helper process of another test";
    zorbel::EmulatedBus bus;
    bus.set_claim_scope(kSharedScope);
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
        for (int* fd : {&to_child[0], &to_child[1], &from_child[0], &from_child[1]})
            *fd = above_holder_fds(*fd);
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
        if (::posix_spawn(&pid_, exe, &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(to_child[0]);
        ::close(from_child[1]);
        commands_ = to_child[1];
        answers_ = from_child[0];
    }
    ~HolderProcess() {
        ::close(commands_);  // end of commands: the holder returns
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
        ::close(answers_);
    }
    // The holder's answer to its start or to the last command.
    char answer() {
        char a = 0;
        return ::read(answers_, &a, 1) == 1 ? a : 0;
    }
    char stop() {
        char s = 's';
        return ::write(commands_, &s, 1) == 1 ? answer() : 0;
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int commands_ = -1;
    int answers_ = -1;
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
