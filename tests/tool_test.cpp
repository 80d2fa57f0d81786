// The zorbel tool, run as a user runs it, against the emulated bus inside
// each of its processes: exit statuses, what it prints, the files it leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "zorbel/zorbel.h"

namespace fs = std::filesystem;

namespace {

#ifdef ZORBEL_TOOL_PATH
const char* const kTool = ZORBEL_TOOL_PATH;
#else
const char* const tool = "";
#endif

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void spit(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<char>(zorbel::source_pattern(k));
    return s;
}

std::uint32_t crc_of(const std::string& data) {
    CRC32 crc;
    crc.update(const_cast<char*>(data.data()), static_cast<unsigned long>(data.size()));
    return static_cast<std::uint32_t>(crc.get());
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (*kTool == '\0') GTEST_SKIP() << "the tool is not built";
        dir_ = fs::temp_directory_path() / ("zorbel_tool_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }

    fs::path path(const std::string& name) const { return dir_ / name; }

    // Starts the tool; standard input from `in` (or nothing), output to files.
    pid_t start(const std::vector<std::string>& args, const std::string& tag,
                const fs::path& in = "/dev/null") {
        pid_t pid = fork();
        if (pid == 0) {
            int i = open(in.c_str(), O_RDONLY);
            int o = open(path(tag + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(path(tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(i, 0);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(kTool)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kTool, argv.data());
            _exit(127);
        }
        return pid;
    }

    Outcome finish(pid_t pid, const std::string& tag) {
        int status = 0;
        waitpid(pid, &status, 0);
        Outcome r;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(path(tag + ".out"));
        r.err = slurp(path(tag + ".err"));
        return r;
    }

    Outcome run(const std::vector<std::string>& args, const fs::path& in = "/dev/null") {
        return finish(start(args, "run", in), "run");
    }

    // Runs the tool and sends it `signal` once it should be under way. A
    // tool that is slow to start (a sanitizer build on a loaded machine)
    // may not be yet: a signal before its handler ends it at once, one
    // during its setup before the work it is to interrupt. Such a run
    // (`under_way` false) is taken again with a longer lead, so that the
    // test waits only as long as the machine needs.
    Outcome interrupt(const std::vector<std::string>& args, int signal, const std::string& tag,
                      const std::function<bool(const Outcome&)>& under_way) {
        Outcome r;
        for (int lead_ms : {300, 1000, 3000}) {
            pid_t pid = start(args, tag);
            std::this_thread::sleep_for(std::chrono::milliseconds(lead_ms));
            kill(pid, signal);
            // Bounded: a tool that the signal does not end is killed, and fails.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            for (;;) {
                siginfo_t ended{};
                if (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                    ended.si_pid == pid || std::chrono::steady_clock::now() > deadline)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            kill(pid, SIGKILL);  // nothing if it has ended: it is not reaped yet
            r = finish(pid, tag);
            if (under_way(r)) break;
        }
        return r;
    }

    fs::path dir_;
};

// The emulated bus's devices: boot-mode ones first, numbered from 1.
std::string device_id(unsigned int offset) {
    char s[16];
    std::snprintf(s, sizeof s, "%07u", 1 + offset);
    return s;
}
std::string hardware_id(unsigned int offset) { return "ZB000" + device_id(offset); }

// The demo's bus: device 0 in boot mode, device 1 in normal mode.
std::vector<std::string> on_demo_bus(std::vector<std::string> args) {
    args.insert(args.begin(), "--emulate");
    return args;
}

// A bus without a boot-mode device, so that device 0 is the normal-mode one
// with echo on pipe 1, a sink on pipe 2 and a source on pipe 3.
std::vector<std::string> on_normal_bus(std::vector<std::string> args) {
    args.insert(args.begin(), {"--emulate", "--boot-devices", "0"});
    return args;
}

}  // namespace

TEST_F(ToolTest, DemoRunsTheWholeJob) {
    Outcome r = run({"demo", "--megabytes", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("back in normal mode"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("demo complete"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // not a terminal: no progress lines
}

TEST_F(ToolTest, ListAndInfo) {
    Outcome json = run(on_demo_bus({"list", "--json"}));
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(
        json.out,
        "{\"schema\": 1, \"devices\": [{\"number\": 0, \"mode\": \"boot\", \"type\": null, \"hardware_id\": "
        "null, \"id\": "
        "null, \"location\": \"1-1\", \"in_use\": false}, {\"number\": 1, \"mode\": \"normal\", \"type\": "
        "\"T\", \"hardware_id\": \"" +
            hardware_id(1) + "\", \"id\": \"" + device_id(1) +
            "\", \"location\": \"1-2\", \"in_use\": false}], \"count\": 2, \"bus_count\": 2}\n");

    Outcome table = run(on_demo_bus({"list"}));
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("1       normal  T     " + hardware_id(1) + "  " + device_id(1)),
              std::string::npos)
        << table.out;

    Outcome empty = run(on_normal_bus({"--normal-devices", "0", "list"}));
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "no device attached (on the USB bus: 0)\n");

    Outcome info = run(on_demo_bus({"info", "1", "--json"}));
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(
        info.out.find("{\"schema\": 1, \"device\": {\"number\": 1, \"mode\": \"normal\", \"type\": \"T\", "
                      "\"hardware_id\": \"" +
                      hardware_id(1) + "\", \"id\": \"" + device_id(1) +
                      "\", \"location\": \"1-2\", \"in_use\": false}, \"kind_index\": 0}"),
        std::string::npos)
        << info.out;
    Outcome boot_info = run(on_demo_bus({"info", "0"}));
    EXPECT_EQ(boot_info.status, 0);
    EXPECT_NE(boot_info.out.find("mode         boot"), std::string::npos) << boot_info.out;
    // The text shows what list shows.
    EXPECT_NE(boot_info.out.find("location     1-1\n  in use       no"), std::string::npos) << boot_info.out;
}

// Bytes from the device's source into a file, and the same file back to its
// sink, whose checksum the tool reports: every byte arrives, in order.
TEST_F(ToolTest, SendAndReceiveThroughFiles) {
    const std::size_t size = 300 * 1024 + 77;  // not a whole number of blocks
    Outcome recv =
        run(on_demo_bus({"recv", "1", "3", path("from_device").string(), "--bytes", std::to_string(size)}));
    ASSERT_EQ(recv.status, 0) << recv.err;
    std::string received = slurp(path("from_device"));
    EXPECT_EQ(received.size(), size);
    EXPECT_TRUE(received == pattern(size));
    EXPECT_FALSE(fs::exists(path("from_device.part")));

    Outcome send = run(on_demo_bus({"send", "1", "2", path("from_device").string()}));
    ASSERT_EQ(send.status, 0) << send.err;
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", crc_of(received));
    EXPECT_NE(send.err.find("sink has read " + std::to_string(size) + " bytes, CRC-32 " + crc),
              std::string::npos)
        << send.err;

    // Standard input and output serve when no file is named.
    Outcome piped_out = run(on_demo_bus({"-q", "recv", "1", "3", "--bytes", "1000"}));
    EXPECT_EQ(piped_out.status, 0);
    EXPECT_TRUE(piped_out.out == pattern(1000));
    Outcome piped_in = run(on_demo_bus({"send", "1", "2", "-"}), path("from_device"));
    EXPECT_EQ(piped_in.status, 0) << piped_in.err;
    EXPECT_NE(piped_in.err.find("CRC-32 " + std::string(crc)), std::string::npos) << piped_in.err;
}

TEST_F(ToolTest, BootWaitsForNormalMode) {
    const char payload[] = "image";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    spit(path("good.img"), std::string(image.begin(), image.end()));
    Outcome r = run(on_demo_bus({"boot", "0", path("good.img").string()}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("device 0 booted; it is back in normal mode as device 1 (hardware ID " +
                         hardware_id(0) + ")"),
              std::string::npos)
        << r.out;
}

TEST_F(ToolTest, EchoAndBench) {
    Outcome echo = run(on_normal_bus({"echo", "0", "1", "--count", "20", "--size", "100"}));
    EXPECT_EQ(echo.status, 0) << echo.err;
    EXPECT_NE(echo.out.find("20 round trips of 100 bytes"), std::string::npos) << echo.out;
    EXPECT_NE(echo.out.find("median"), std::string::npos);

    for (const char* direction : {"send", "recv"}) {
        SCOPED_TRACE(direction);
        Outcome bench =
            run(on_normal_bus({"bench", "0", "--pipes", "2", "--bytes", "64k", "--direction", direction}));
        EXPECT_EQ(bench.status, 0) << bench.err;
        EXPECT_NE(bench.out.find("    2        131072"), std::string::npos) << bench.out;
    }
}

// Every failure is one line on standard error and a non-zero status.
TEST_F(ToolTest, ErrorsSayWhatFailedInOneLine) {
    spit(path("data"), pattern(4096));
    spit(path("bad.img"), "not an image");
    spit(path("huge.img"), "");
    fs::resize_file(path("huge.img"), std::uintmax_t{3} << 30);  // sparse: nothing is read
    const std::string data = path("data").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {on_demo_bus({"info", "7"}), 1, "no such device: 7; device numbers run from 0 to 1"},
        {on_normal_bus({"--normal-devices", "0", "send", "0", "2", data}), 1, "no device is attached"},
        {on_demo_bus({"send", "0", "2", data}), 1, "device 0 is in boot mode"},
        {on_demo_bus({"boot", "1", data}), 1, "device 1 is in normal mode already"},
        {on_demo_bus({"boot", "0", path("bad.img").string()}), 1, "device 0 refused"},
        {on_demo_bus({"boot", "0", dir_.string()}), 1, "it is a directory; name a file"},
        {on_demo_bus({"boot", "0", "/dev/zero", "--max-size", "1M"}), 1,
         "is more than a boot image may be (1.0 MiB)"},
        {on_normal_bus({"send", "0", "126", data}), 2, "'126' is not a pipe number from 1 to 125"},
        {on_normal_bus({"recv", "0", "0"}), 2, "'0' is not a pipe number from 1 to 125"},
        {on_normal_bus({"send", "0", "2", path("missing").string()}), 1, "cannot read"},
        {on_normal_bus({"send", "0", "2", dir_.string()}), 1, "it is a directory"},
        {on_normal_bus({"recv", "0", "3", path("no/such/dir/file").string()}), 1, "cannot write"},
        {on_normal_bus({"recv", "0", "2", "--timeout", "0.5"}), 1,
         "sent no data on pipe 2 for 0.5 s; 0 bytes"},
        {{"send", "0"}, 2, "PIPE is required; see 'zorbel send --help'"},
        {{"frob"}, 2, "unknown command 'frob'; see 'zorbel --help'"},
        {on_demo_bus({"info", "x"}), 2, "see 'zorbel info --help'"},
        // Numbers and names that used to mean something else.
        {on_normal_bus({"recv", "0", "3", "--bytes", "0"}), 2, "'0' is not a byte count from 1"},
        {on_normal_bus({"recv", "0", "3", "--bytes", "-1"}), 2, "'-1' is not a byte count from 1"},
        {on_normal_bus({"recv", "0", "3", "--bytes", "18446744073709551616"}), 2, "is not a byte count"},
        {on_normal_bus({"bench", "0", "--bytes", "0"}), 2, "'0' is not a byte count from 1"},
        {on_normal_bus({"recv", "0", "3", "--timeout", "nan"}), 2, "'nan' is not a number of seconds"},
        {on_normal_bus({"recv", "0", "3", "--timeout", "1e999"}), 2, "'1e999' is not a number of seconds"},
        {on_normal_bus({"send", "0", "2", ""}), 2, "an empty file name names no file"},
        {on_demo_bus({"info", "-1"}), 2, "'-1' is not a device number"},
        // One parser for every number: decimal only, in range, the same words.
        {on_normal_bus({"echo", "0", "1", "--count", "1e3"}), 2, "'1e3' is not a count from 1 to 1000000"},
        {on_normal_bus({"echo", "0", "1", "--timeout", "0x10"}), 2, "'0x10' is not a number of seconds"},
        {on_normal_bus({"recv", "0", "0x2"}), 2, "'0x2' is not a pipe number from 1 to 125"},
        {on_demo_bus({"info", "0x1"}), 2, "'0x1' is not a device number"},
        {on_normal_bus({"--link-bandwidth", "nan", "list"}), 2, "'nan' is not a number of bytes per second"},
        {on_normal_bus({"--link-bandwidth", "inf", "list"}), 2,
         "'inf' is not a number of bytes per second from 0 to 1000000000000;"},
        {on_normal_bus({"--seed", "-1", "list"}), 2, "'-1' is not a seed from 0 to"},
        {on_normal_bus({"--corrupt-rate", "1.5", "list"}), 2, "'1.5' is not a probability from 0 to 1"},
        // A boot image: the same file rules as send and recv, and no more
        // than the library takes, refused before a byte is read.
        {on_demo_bus({"boot", "0", ""}), 2, "an empty file name names no file"},
        {on_demo_bus({"boot", "0", data, "--max-size", "5G"}), 2, "'5G' is not a byte count from 1 to 2G"},
        {on_demo_bus({"boot", "0", path("huge.img").string(), "--max-size", "2G"}), 1,
         "huge.img is 3.0 GiB, more than a boot image may be (2.0 GiB): the library takes no more"},
        // -s edge forms.
        {on_demo_bus({"-s", "1", "info", "1"}), 2, "give N or -s, not both; see 'zorbel info --help'"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// A device that goes away mid-transfer: the count of bytes that got through
// is told, and a receive leaves no file behind that could pass for complete
// (the bytes stay in the part file, which the line names).
TEST_F(ToolTest, DeviceGoneDuringTransfer) {
    spit(path("data"), pattern(1 << 20));
    Outcome send = run(on_normal_bus({"--unplug-after", "100k", "send", "0", "2", path("data").string()}));
    EXPECT_EQ(send.status, 1);
    EXPECT_NE(send.err.find("device 0 went away during the transfer; 102400 of 1048576 bytes got through"),
              std::string::npos)
        << send.err;

    Outcome recv = run(
        on_normal_bus({"--unplug-after", "100k", "recv", "0", "3", path("out").string(), "--bytes", "1M"}));
    EXPECT_EQ(recv.status, 1);
    EXPECT_NE(recv.err.find("went away during the transfer"), std::string::npos) << recv.err;
    EXPECT_FALSE(fs::exists(path("out")));
    EXPECT_NE(recv.err.find("they are in " + path("out.part").string()), std::string::npos) << recv.err;
}

// The device claim spans processes: while one tool process holds the
// device, another is told so; once the first stops, the device is free.
TEST_F(ToolTest, ClaimedByAnotherProcess) {
    // Two emulated buses share claims only within a scope of their own.
    const std::string scope = "zorbel_tool_test_" + std::to_string(getpid());
    auto shared = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--claim-scope", scope});
        return on_normal_bus(args);
    };
    // A slow link keeps the holder's output small while it runs.
    pid_t holder = start(shared({"--link-bandwidth", "100000", "-q", "recv", "0", "3"}), "holder");
    // Whatever happens below, the holder does not outlive the test.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{holder};

    // It holds the claim once bytes flow.
    auto received = [&] {
        std::error_code ec;
        auto n = fs::file_size(path("holder.out"), ec);
        return ec ? 0 : n;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(received(), 0u);

    spit(path("data"), pattern(2048));
    // Without the scope the other process's claim is out of sight.
    Outcome unrelated = run(on_normal_bus({"send", "0", "2", path("data").string()}));
    EXPECT_EQ(unrelated.status, 0) << unrelated.err;
    Outcome refused = run(shared({"send", "0", "2", path("data").string()}));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("device 0 (ID " + device_id(0) + ") is in use by another program"),
              std::string::npos)
        << refused.err;

    kill(holder, SIGINT);
    Outcome stopped = finish(holder, "holder");
    reaper.pid = 0;
    EXPECT_EQ(stopped.status, 130);
    EXPECT_NE(stopped.err.find("interrupted; "), std::string::npos) << stopped.err;

    Outcome free_again = run(shared({"send", "0", "2", path("data").string()}));
    EXPECT_EQ(free_again.status, 0) << free_again.err;
}

// On a terminal a transfer shows its progress on one redrawn line.
// Runs the tool with a terminal as standard input, output and error; the
// status and everything the terminal showed.
Outcome on_terminal(const std::vector<std::string>& args) {
    Outcome r;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return r;
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(kTool)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kTool, argv.data());
        _exit(127);
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        r.out.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

TEST_F(ToolTest, ProgressOnATerminal) {
    spit(path("data"), pattern(300 * 1024));
    // A slow link makes the transfer last long enough to be drawn.
    Outcome r =
        on_terminal(on_normal_bus({"--link-bandwidth", "500000", "send", "0", "2", path("data").string()}));
    const std::string& screen = r.out;
    EXPECT_EQ(r.status, 0) << screen;
    EXPECT_NE(screen.find("\rsending ["), std::string::npos) << screen;
    EXPECT_NE(screen.find(" of 300.0 KiB"), std::string::npos) << screen;
    EXPECT_NE(screen.find("left"), std::string::npos) << screen;
    EXPECT_NE(screen.find("sent 307200 bytes"), std::string::npos) << screen;
}

namespace {

TEST_F(ToolTest, WaitEndsOnArrivalOnTimeOutAndNeedsADevice) {
    // The normal-mode device arrives 200 ms after the start.
    Outcome arrived = run({"--emulate", "--arrive-after-ms", "200", "wait", "-s", hardware_id(1), "--json"});
    EXPECT_EQ(arrived.status, 0) << arrived.err;
    EXPECT_NE(arrived.out.find("\"schema\": 1, \"device\": {\"number\": 1, \"mode\": \"normal\""),
              std::string::npos)
        << arrived.out;

    Outcome late = run(on_demo_bus({"wait", "5", "--timeout", "0.1"}));
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find("device 5 was not there within 0.1 s"), std::string::npos) << late.err;

    Outcome other_mode = run(on_demo_bus({"wait", "1", "--mode", "boot", "--timeout", "0.1"}));
    EXPECT_EQ(other_mode.status, 1);
    EXPECT_NE(other_mode.err.find("device 1 is there in normal mode; waiting for it in boot mode"),
              std::string::npos)
        << other_mode.err;

    Outcome unnamed = run(on_demo_bus({"wait"}));
    EXPECT_EQ(unnamed.status, 2);
    EXPECT_NE(unnamed.err.find("give its number or -s SELECTOR"), std::string::npos) << unnamed.err;
}

TEST_F(ToolTest, WatchReportsArrivalsAndDeparturesUntilASignal) {
    pid_t watcher = start(
        {"--emulate", "--arrive-after-ms", "100", "--leave-after-ms", "300", "watch", "--json"}, "watch");
    // Bounded, so that a watcher that never reports fails instead of hanging.
    std::string out;
    for (int i = 0; i < 400 && out.find("\"event\": \"leave\"") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        out = slurp(path("watch.out"));
    }
    kill(watcher, SIGTERM);
    Outcome r = finish(watcher, "watch");
    EXPECT_EQ(r.status, 143) << r.err;  // as a shell reports death by SIGTERM
    const std::string arrive =
        "{\"schema\": 1, \"event\": \"arrive\", \"device\": {\"number\": 1, \"mode\": \"normal\"";
    const std::string leave =
        "{\"schema\": 1, \"event\": \"leave\", \"device\": {\"number\": 1, \"mode\": \"normal\"";
    ASSERT_NE(r.out.find(arrive), std::string::npos) << r.out;
    EXPECT_GT(r.out.find(leave), r.out.find(arrive)) << r.out;
}

TEST_F(ToolTest, VersionHelpAndVerbose) {
    Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("zorbel 2."), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("(library 2."), std::string::npos) << version.out;

    Outcome help = run({"help", "wait"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Wait until a device is there"), std::string::npos) << help.out;
    Outcome unknown = run({"help", "frob"});
    EXPECT_EQ(unknown.status, 2);

    // -v: the library's log on standard error (a claim and its release are
    // logged at info).
    Outcome verbose = run(on_normal_bus({"-v", "echo", "0", "1", "--count", "1"}));
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.err.find("zorbel: info: claimed device"), std::string::npos) << verbose.err;
    const std::size_t released = verbose.err.find("zorbel: info: released device " + device_id(0));
    EXPECT_NE(released, std::string::npos) << verbose.err;
    EXPECT_GT(released, verbose.err.find("claimed device")) << verbose.err;

    // -vv: blocks dropped for a bad CRC-32 (the link corrupts some), and
    // repeated requests and blocks, are logged at debug, a line a second at
    // most from each place.
    Outcome detail =
        run(on_normal_bus({"-vv", "--corrupt-rate", "0.002", "echo", "0", "1", "--count", "50"}));
    EXPECT_EQ(detail.status, 0) << detail.err;
    EXPECT_NE(
        detail.err.find("zorbel: debug: dropped a received block whose CRC-32 did not match (1 so far)"),
        std::string::npos)
        << detail.err;
    // A link that loses transfers: what is lost comes back only through a
    // repeated request or a block sent again, and either is logged.
    Outcome lossy = run(on_normal_bus({"-vv", "--drop-rate", "0.05", "echo", "0", "1", "--count", "50"}));
    EXPECT_EQ(lossy.status, 0) << lossy.err;
    EXPECT_TRUE(lossy.err.find("asked the device again for block") != std::string::npos ||
                lossy.err.find(" again on channel ") != std::string::npos)
        << lossy.err;

    // ZORBEL_DEBUG says no in the usual ways.
    for (const char* off : {"0", "off", "OFF", "no"}) {
        SCOPED_TRACE(off);
        setenv("ZORBEL_DEBUG", off, 1);
        Outcome quiet = run(on_normal_bus({"echo", "0", "1", "--count", "1"}));
        unsetenv("ZORBEL_DEBUG");
        EXPECT_EQ(quiet.status, 0) << quiet.err;
        EXPECT_EQ(quiet.err.find("zorbel: "), std::string::npos) << quiet.err;
    }
}

}  // namespace

namespace {

// recv never replaces what is not a regular file: a FIFO is written into, a
// symbolic link is followed and stays a link.
TEST_F(ToolTest, RecvWritesIntoSpecialFilesAndThroughLinks) {
    const fs::path fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string from_fifo;
    std::thread reader([&] { from_fifo = slurp(fifo); });  // opens once the tool opens it
    Outcome piped = run(on_normal_bus({"recv", "0", "3", fifo.string(), "--bytes", "1000"}));
    reader.join();
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(from_fifo.size(), 1000U);
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));

    const fs::path target = path("target.bin");
    fs::create_symlink("target.bin", path("link"));
    Outcome linked = run(on_normal_bus({"recv", "0", "3", path("link").string(), "--bytes", "700"}));
    EXPECT_EQ(linked.status, 0) << linked.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path("link"))));
    EXPECT_EQ(fs::file_size(target), 700U);
}

}  // namespace

namespace {

// Transfers that would run for ever (an endless source, a device that takes
// every block at once) still end on a signal, with the status a shell
// expects for it and the bytes that got through.
TEST_F(ToolTest, TransfersEndOnASignal) {
    struct Case {
        std::vector<std::string> args;
        int signal;
    };
    const Case cases[] = {
        {on_normal_bus({"send", "0", "2", "/dev/zero"}), SIGINT},
        {on_normal_bus({"send", "0", "2", "/dev/zero"}), SIGTERM},
        {on_normal_bus({"bench", "0", "--pipes", "1", "--bytes", "1T"}), SIGINT},
        {on_normal_bus({"recv", "0", "3", path("endless").string()}), SIGHUP},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line + "signal " + std::to_string(c.signal));
        Outcome r = interrupt(c.args, c.signal, "signalled", [](const Outcome& o) {
            return o.err.find("bytes got through") != std::string::npos;
        });
        EXPECT_EQ(r.status, 128 + c.signal) << r.err;
        EXPECT_NE(r.err.find("interrupted; "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("bytes got through"), std::string::npos) << r.err;
    }
}

}  // namespace

namespace {

// The device's bytes are not poured onto a terminal unless asked for.
TEST_F(ToolTest, RecvRefusesATerminalUnlessForced) {
    Outcome refused = on_terminal(on_normal_bus({"recv", "0", "3", "--bytes", "100"}));
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_NE(refused.out.find("refusing to write the device's bytes to a terminal"), std::string::npos)
        << refused.out;
    Outcome forced = on_terminal(on_normal_bus({"recv", "0", "3", "--bytes", "100", "--force"}));
    EXPECT_EQ(forced.status, 0) << forced.out;
}

// A reader that stops early (recv ... | head) ends the tool quietly, and a
// transfer that fails keeps the bytes that got through and says where.
TEST_F(ToolTest, ClosedOutputAndKeptPartialBytes) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        int e = open(path("closed.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 2);
        std::vector<std::string> args = on_normal_bus({"recv", "0", "3"});
        std::vector<char*> argv{const_cast<char*>(kTool)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kTool, argv.data());
        _exit(127);
    }
    close(fds[1]);
    char some[10];
    ASSERT_EQ(read(fds[0], some, sizeof some), static_cast<ssize_t>(sizeof some));
    close(fds[0]);  // as head does once it has its bytes
    Outcome closed = finish(pid, "closed");
    EXPECT_EQ(closed.status, 128 + SIGPIPE);
    EXPECT_EQ(closed.err, "");

    Outcome cut = run(on_normal_bus({"--unplug-after", "100k", "recv", "0", "3", path("cut.bin").string()}));
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("; they are in " + path("cut.bin.part").string()), std::string::npos) << cut.err;
    EXPECT_GT(fs::file_size(path("cut.bin.part")), 0U);
    EXPECT_FALSE(fs::exists(path("cut.bin")));
}

}  // namespace

namespace {

// -s names the device by hardware ID, ID or place wherever a number would do,
// and the other arguments keep their places.
TEST_F(ToolTest, DeviceSelectorsOnEveryCommand) {
    spit(path("data"), pattern(1000));
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;  // in standard output or error
    };
    const Case cases[] = {
        {on_demo_bus({"info", "-s", hardware_id(1)}), 0, "ID           0000002"},
        {on_demo_bus({"-s", device_id(1), "send", "2", path("data").string()}), 0, "sent 1000 bytes"},
        {on_demo_bus({"recv", "--device=1-2", "3", "--bytes", "10", path("out").string()}), 0,
         "received 10 bytes"},
        {on_demo_bus({"echo", "-s", hardware_id(1), "1", "--count", "2"}), 0, "median"},
        {on_demo_bus({"boot", "-s", "1-1", path("data").string()}), 1, "device 0 refused"},
        {on_demo_bus({"info", "-s", "nothing"}), 1, "no such device: nothing; see 'zorbel list'"},
        {on_demo_bus({"list", "-s", "1"}), 2, "-s names a device, but this command takes none"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
}

}  // namespace

namespace {

// --json on boot, echo and bench: one object, "schema": 1; echo interrupted
// still reports the round trips it made, as ping does.
TEST_F(ToolTest, JsonFromBootEchoAndBenchAndEchoSummaryOnInterrupt) {
    const char payload[] = "image";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    spit(path("good.img"), std::string(image.begin(), image.end()));
    Outcome boot = run(on_demo_bus({"boot", "0", path("good.img").string(), "--json"}));
    EXPECT_EQ(boot.status, 0) << boot.err;
    EXPECT_EQ(boot.out.rfind("{\"schema\": 1, \"device\": {\"number\": 1, \"mode\": \"normal\"", 0), 0U)
        << boot.out;
    EXPECT_NE(boot.out.find("\"hardware_id\": \"" + hardware_id(0) + "\""), std::string::npos) << boot.out;
    EXPECT_NE(boot.out.find("\"was\": 0}"), std::string::npos) << boot.out;

    Outcome echo = run(on_normal_bus({"echo", "0", "1", "--count", "5", "--json"}));
    EXPECT_EQ(echo.status, 0) << echo.err;
    const std::string device0 = "{\"number\": 0, \"mode\": \"normal\", \"type\": \"T\", \"hardware_id\": \"" +
                                hardware_id(0) + "\", \"id\": \"" + device_id(0) +
                                "\", \"location\": \"1-1\", \"in_use\": false}";
    EXPECT_EQ(echo.out.rfind("{\"schema\": 1, \"device\": " + device0 +
                                 ", \"pipe\": 1, \"size\": 64, \"count\": 5, \"min_us\": ",
                             0),
              0U)
        << echo.out;
    EXPECT_NE(echo.out.find("\"interrupted\": false}"), std::string::npos) << echo.out;

    Outcome bench = run(on_normal_bus({"bench", "0", "--pipes", "2", "--bytes", "16k", "--json"}));
    EXPECT_EQ(bench.status, 0) << bench.err;
    EXPECT_EQ(bench.out.rfind("{\"schema\": 1, \"device\": " + device0 +
                                  ", \"direction\": \"send\", \"bytes_per_pipe\": 16384",
                              0),
              0U)
        << bench.out;

    // send and recv report in the same shape.
    spit(path("data"), pattern(3000));
    Outcome sent = run(on_normal_bus({"send", "0", "2", path("data").string(), "--json"}));
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(
        sent.out.rfind(
            "{\"schema\": 1, \"device\": " + device0 + ", \"pipe\": 2, \"bytes\": 3000, \"seconds\": ", 0),
        0U)
        << sent.out;
    Outcome received =
        run(on_normal_bus({"recv", "0", "3", path("got").string(), "--bytes", "2000", "--json"}));
    EXPECT_EQ(received.status, 0) << received.err;
    EXPECT_EQ(
        received.out.rfind("{\"schema\": 1, \"device\": " + device0 + ", \"pipe\": 3, \"bytes\": 2000, ", 0),
        0U)
        << received.out;
    EXPECT_NE(received.out.find("\"ended_by_device\": false}"), std::string::npos) << received.out;

    // An error in --json mode is JSON on standard output too.
    struct ErrorCase {
        std::vector<std::string> args;
        int status;
        const char* json;
    };
    const ErrorCase errors[] = {
        {on_normal_bus({"info", "5", "--json"}), 1,
         "{\"schema\": 1, \"error\": {\"code\": \"no_such_device\", \"message\": \"no such device: 5; "},
        {on_normal_bus({"echo", "0", "1", "--count", "x", "--json"}), 2,
         "{\"schema\": 1, \"error\": {\"code\": \"usage\", \"message\": \"--count: 'x' is not a count"},
        {on_normal_bus({"recv", "0", "3", "--json"}), 2, "{\"schema\": 1, \"error\": {\"code\": \"usage\", "},
        {on_demo_bus({"wait", "1", "--mode", "boot", "--timeout", "0.2", "--json"}), 1,
         "{\"schema\": 1, \"error\": {\"code\": \"timed_out\", \"message\": \"device 1 is there in normal "
         "mode, and not in boot mode within 0.2 s\"}}\n"},
    };
    for (const ErrorCase& c : errors) {
        SCOPED_TRACE(c.json);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out.rfind(c.json, 0), 0U) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    }
    EXPECT_NE(bench.out.find("{\"pipes\": 2, \"bytes\": 32768, "), std::string::npos) << bench.out;

    // Some round trips are made by then.
    Outcome ping = interrupt(on_normal_bus({"echo", "0", "1", "--count", "1000000"}), SIGINT, "ping",
                             [](const Outcome& o) { return o.out.find("median") != std::string::npos; });
    EXPECT_EQ(ping.status, 130) << ping.err;
    Outcome ping_json =
        interrupt(on_normal_bus({"echo", "0", "1", "--count", "1000000", "--json"}), SIGINT, "ping",
                  [](const Outcome& o) { return o.out.find("median") != std::string::npos; });
    EXPECT_EQ(ping_json.status, 130) << ping_json.err;
    EXPECT_NE(ping_json.out.find("\"interrupted\": true}"), std::string::npos) << ping_json.out;
    EXPECT_NE(ping.out.find("; interrupted"), std::string::npos) << ping.out;
    EXPECT_NE(ping.out.find("median"), std::string::npos) << ping.out;
}

// An echo interrupted before any reply (here the pipe's program never
// replies) ends with the interrupt's status and says so, with no report.
TEST_F(ToolTest, EchoInterruptedBeforeAnyReplyReportsNone) {
    for (bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        std::vector<std::string> args = on_normal_bus({"echo", "0", "2", "--timeout", "30"});
        if (json) args.push_back("--json");
        Outcome r = interrupt(args, SIGINT, "silent", [](const Outcome& o) {
            return o.err.find("interrupted") != std::string::npos;
        });
        EXPECT_EQ(r.status, 130) << r.err;
        EXPECT_NE(r.err.find("zorbel echo: interrupted"), std::string::npos) << r.err;
        // No latencies; in --json mode the interruption itself, as JSON.
        if (json)
            EXPECT_EQ(r.out.rfind("{\"schema\": 1, \"error\": {\"code\": \"interrupted\", \"message\": "
                                  "\"interrupted",
                                  0),
                      0U)
                << r.out;
        else
            EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.out.find("median"), std::string::npos) << r.out;
    }
}

}  // namespace

namespace {

// A line typed on a terminal leaves at once, and one Ctrl-D at the start of a
// line ends the input (it took two before).
TEST_F(ToolTest, SendFromATerminalEndsOnOneEndOfInput) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<std::string> args = on_normal_bus({"send", "0", "2"});
        std::vector<char*> argv{const_cast<char*>(kTool)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kTool, argv.data());
        _exit(127);
    }
    ASSERT_EQ(write(master, "hello\n", 6), 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the line is read by then
    ASSERT_EQ(write(master, "\x04", 1), 1);
    std::string screen;
    int status = 0;
    // Bounded: a tool that waits for a second end of input is ended and fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&ready, 1, 10) > 0 ? read(master, buf, sizeof buf) : 0;
        if (n > 0)
            screen.append(buf, static_cast<std::size_t>(n));
        else
            std::this_thread::sleep_for(
                std::chrono::milliseconds(10));  // nothing yet, or the terminal hung up
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "the send did not end on one Ctrl-D: " << screen;
    }
    for (char buf[4096];;) {  // what the tool wrote last
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        screen.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    EXPECT_NE(screen.find("sent 6 bytes"), std::string::npos) << screen;
}

}  // namespace

namespace {

// recv in a directory others may write (/tmp): what is beside the target is
// never opened or followed, and a replaced file keeps its permissions.
TEST_F(ToolTest, RecvCreatesItsFileSafelyBesideTheTarget) {
    const fs::path out = path("out.bin");
    const std::string target = out.string();
    struct Case {
        const char* name;
        std::function<void()> plant;  // what is there before the receive
    };
    const Case cases[] = {
        {"a link planted at the part file's name",
         [&] { fs::create_symlink(path("victim"), path("out.bin.part")); }},
        {"a dangling link planted there", [&] { fs::create_symlink(path("absent"), path("out.bin.part")); }},
        {"the part file of an earlier receive", [&] { spit(path("out.bin.part"), "earlier bytes"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        for (const char* name : {"out.bin", "out.bin.part", "victim", "absent"}) fs::remove(path(name), ec);
        spit(path("victim"), "victim");
        c.plant();
        const auto before = fs::symlink_status(path("out.bin.part")).type();
        const std::string earlier = slurp(path("out.bin.part"));
        Outcome r = run(on_normal_bus({"recv", "0", "3", target, "--bytes", "700"}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out)));
        EXPECT_TRUE(slurp(out) == pattern(700));
        EXPECT_EQ(slurp(path("victim")), "victim");
        EXPECT_FALSE(fs::exists(path("absent")));
        EXPECT_EQ(fs::symlink_status(path("out.bin.part")).type(), before);
        EXPECT_EQ(slurp(path("out.bin.part")), earlier);
        // Nothing else is left beside it.
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir_))
            files += entry.path().filename().string().rfind("out.bin.", 0) == 0 ? 1 : 0;
        EXPECT_EQ(files, 1U);
    }

    // A replaced file keeps its mode, as cp keeps it.
    std::error_code ec;
    fs::remove(path("out.bin.part"), ec);
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    Outcome replaced = run(on_normal_bus({"recv", "0", "3", target, "--bytes", "10"}));
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(fs::file_size(out), 10U);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640U);

    // One this user may not write is refused unless forced (root may write
    // anything, so this part needs another user).
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    if (geteuid() != 0) {
        Outcome refused = run(on_normal_bus({"recv", "0", "3", target, "--bytes", "20"}));
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("this user may not write it; add --force"), std::string::npos)
            << refused.err;
        EXPECT_EQ(fs::file_size(out), 10U);
        Outcome forced = run(on_normal_bus({"recv", "0", "3", target, "--bytes", "20", "--force"}));
        EXPECT_EQ(forced.status, 0) << forced.err;
        EXPECT_EQ(fs::file_size(out), 20U);
    }
}

// Every wait ends on a signal, the open of a FIFO that nobody is at the
// other end of included, with the status a shell expects.
TEST_F(ToolTest, WaitsForTheOtherEndOfAFifoEndOnASignal) {
    const fs::path fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        int signal;
        const char* says;
    };
    const Case cases[] = {
        {on_normal_bus({"recv", "0", "3", fifo.string()}), SIGINT, "interrupted while waiting for a reader"},
        {on_normal_bus({"recv", "0", "3", fifo.string()}), SIGHUP, "interrupted while waiting for a reader"},
        {on_normal_bus({"send", "0", "2", fifo.string()}), SIGTERM, "interrupted; 0 bytes got through"},
        {on_demo_bus({"boot", "0", fifo.string()}), SIGINT, "interrupted while reading"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line + "signal " + std::to_string(c.signal));
        Outcome r = interrupt(c.args, c.signal, "fifo", [](const Outcome& o) {
            return o.err.find("interrupted") != std::string::npos;
        });
        EXPECT_EQ(r.status, 128 + c.signal) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
    }
}

// Runs the tool with standard output going to `out_fd` only; its status
// and standard error. Bounded: a tool that does not end is killed.
Outcome run_writing_to(const std::vector<std::string>& args, int out_fd, int close_in_child,
                       const fs::path& err_path) {
    pid_t pid = fork();
    if (pid == 0) {
        if (close_in_child >= 0) close(close_in_child);
        dup2(out_fd, 1);
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(kTool)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kTool, argv.data());
        _exit(127);
    }
    Outcome r;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.err = "(killed: the tool did not end)";
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = slurp(err_path);
    return r;
}

// Every write to standard output is checked: a reader that has gone ends
// the tool quietly with 141 (watch notices without writing), and a write
// that fails otherwise is never a success.
TEST_F(ToolTest, OutputToAClosedReaderOrAFullDiskIsNoticed) {
    const std::vector<std::vector<std::string>> commands = {
        on_normal_bus({"list", "--json"}),
        on_normal_bus({"info", "0", "--json"}),
        on_normal_bus({"echo", "0", "1", "--count", "3", "--json"}),
        on_normal_bus({"wait", "0", "--json"}),
        on_normal_bus({"recv", "0", "3", "--bytes", "1000"}),
        on_normal_bus({"watch"}),
    };
    for (const auto& args : commands) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        SCOPED_TRACE(line);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        close(fds[0]);  // the reader is gone before the tool writes
        Outcome closed = run_writing_to(args, fds[1], -1, path("closed.err"));
        close(fds[1]);
        EXPECT_EQ(closed.status, 128 + SIGPIPE) << closed.err;
        EXPECT_EQ(closed.err, "");
    }
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    for (const auto& args :
         {on_normal_bus({"list", "--json"}), on_normal_bus({"recv", "0", "3", "--bytes", "1000"})}) {
        Outcome failed = run_writing_to(args, full, -1, path("full.err"));
        EXPECT_EQ(failed.status, 1) << failed.err;
        EXPECT_NE(failed.err.find("No space left on device"), std::string::npos) << failed.err;
    }
    close(full);
}

// watch | head: the tool ends once the reader has what it wanted.
TEST_F(ToolTest, WatchEndsWhenItsReaderLeaves) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread head([&] {
        char some[10];
        std::size_t got = 0;
        while (got < sizeof some) {
            ssize_t n = read(fds[0], some + got, sizeof some - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        close(fds[0]);
    });
    Outcome r =
        run_writing_to({"--emulate", "--arrive-after-ms", "100", "watch"}, fds[1], fds[0], path("watch.err"));
    close(fds[1]);
    head.join();
    EXPECT_EQ(r.status, 128 + SIGPIPE) << r.err;
    EXPECT_EQ(r.err, "");
}

// The other -s forms, and a boot image from standard input.
TEST_F(ToolTest, SelectorFormsAndABootImageFromStandardInput) {
    Outcome joined = run(on_demo_bus({"-s1", "info"}));
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_NE(joined.out.find("hardware ID  " + hardware_id(1)), std::string::npos) << joined.out;

    Outcome help = run({"-s", "1", "help", "info"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_NE(help.out.find("Show one device in full"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find('@'), std::string::npos) << help.out;

    const char payload[] = "image";
    std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);
    spit(path("good.img"), std::string(image.begin(), image.end()));
    Outcome boot = run(on_demo_bus({"boot", "0", "-"}), path("good.img"));
    EXPECT_EQ(boot.status, 0) << boot.err;
    EXPECT_NE(boot.out.find("device 0 booted"), std::string::npos) << boot.out;
}

}  // namespace

namespace {

// ZORBEL_DEVICE names the device of a command given neither N nor -s, as
// ANDROID_SERIAL does; N and -s still win.
TEST_F(ToolTest, DefaultDeviceFromTheEnvironment) {
    setenv("ZORBEL_DEVICE", hardware_id(1).c_str(), 1);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {on_demo_bus({"info"}), 0, "device 1\n"},
        {on_demo_bus({"recv", "3", path("out").string(), "--bytes", "10"}), 0,
         "received 10 bytes from device 1"},
        {on_demo_bus({"wait", "--json"}), 0, "\"device\": {\"number\": 1,"},
        {on_demo_bus({"info", "0"}), 0, "mode         boot"},
        {on_demo_bus({"-s", "0", "info"}), 0, "mode         boot"},
        {on_demo_bus({"--help"}), 0,
         "ZORBEL_DEVICE names the device of a command given neither N nor -s (now "},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    unsetenv("ZORBEL_DEVICE");
}

}  // namespace
