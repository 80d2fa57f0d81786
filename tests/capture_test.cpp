// Captures of a connection's USB transfers, read back by an independent
// reader: tshark, with the block protocol's dissector. The blocks it finds
// must carry exactly the bytes the connection sent and received, on a clean
// link, on one that corrupts, drops and duplicates, and through the libusb
// backend; a capture laid out by hand as usbmon writes one reads the same
// way. Skipped where tshark is not installed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/device_rig.h"
#include "usb/capture_file.h"
#include "zorbel/block.h"
#include "zorbel/client.h"
#include "zorbel/emulator.h"

namespace {

using zorbel::testing::DeviceRig;

// Commands run without the test's preloads (a sanitizer runtime and
// umockdev's library, which the libusb rig puts in front of this program):
// the shell and tshark are not built for them, and the tool brings its own.
// The variable is back when the command has started; the libusb rig reads it.
class WithoutPreload {
public:
    WithoutPreload() {
        if (const char* p = std::getenv("LD_PRELOAD")) {
            saved_ = p;
            had_ = true;
            ::unsetenv("LD_PRELOAD");
        }
    }
    ~WithoutPreload() {
        if (had_) ::setenv("LD_PRELOAD", saved_.c_str(), 1);
    }

private:
    std::string saved_;
    bool had_ = false;
};

int shell(const std::string& command) {
    WithoutPreload clean;
    return std::system(command.c_str());
}

bool tshark_installed() {
    static const bool kInstalled = shell("tshark -v >/dev/null 2>&1") == 0;
    return kInstalled;
}

#define SKIP_WITHOUT_TSHARK() \
    if (!tshark_installed()) GTEST_SKIP() << "tshark is not installed (Debian package tshark)"

std::string temp_path(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/zorbel-capture-" + std::to_string(::getpid()) + "-" +
           name;
}

// Runs a command; its standard output.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = nullptr;
    {
        WithoutPreload clean;
        pipe = ::popen(command.c_str(), "r");
    }
    if (!pipe) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    ::pclose(pipe);
    return out;
}

// What tshark prints besides its packets, less the notice it gives root.
std::string tshark_complaints(const std::string& file) {
    std::istringstream lines(run("tshark -r " + file + " 2>&1 >/dev/null"));
    std::string line, complaints;
    while (std::getline(lines, line))
        if (line.find("Running as user") == std::string::npos) complaints += line + "\n";
    return complaints;
}

struct Block {
    int direction = 0;  // USB direction of the transfer: 1 IN
    int type = 0, channel = 0, number = 0, length = 0, command = -1, argument = -1;
    bool crc_ok = false, repeated = false;
    std::string data_hex;
};

// Every block the dissector shows, in capture order, from tshark's PDML.
std::vector<Block> dissect(const std::string& file) {
    const std::string pdml =
        run("tshark -X lua_script:" ZORBEL_DISSECTOR " -r " + file + " -T pdml -Y zorbel 2>/dev/null");
    static const std::regex kField(
        R"re(<field name="([a-z_.]+)"[^>]*? show="([^"]*)"(?: value="([^"]*)")?)re");
    std::vector<Block> blocks;
    int direction = 0;
    std::istringstream lines(pdml);
    std::string line;
    Block* current = nullptr;
    while (std::getline(lines, line)) {
        if (line.find("<proto name=\"zorbel\"") != std::string::npos) {
            blocks.emplace_back();
            blocks.back().direction = direction;
            current = &blocks.back();
            continue;
        }
        std::smatch m;
        if (!std::regex_search(line, m, kField)) continue;
        const std::string name = m[1], show = m[2], value = m[3];
        if (name == "usb.endpoint_address.direction") direction = std::stoi(show);
        if (!current || name.compare(0, 7, "zorbel.") != 0) continue;
        if (name == "zorbel.type") current->type = std::stoi(show, nullptr, 16);
        if (name == "zorbel.channel") current->channel = std::stoi(show);
        if (name == "zorbel.block") current->number = std::stoi(show);
        if (name == "zorbel.length") current->length = std::stoi(show);
        if (name == "zorbel.command") current->command = std::stoi(show);
        if (name == "zorbel.argument") current->argument = std::stoi(show);
        if (name == "zorbel.crc_ok") current->crc_ok = show == "1";
        if (name == "zorbel.repeated") current->repeated = show == "1";
        if (name == "zorbel.data") current->data_hex = value;
    }
    // Protos without a header: bytes a later transfer completes.
    std::vector<Block> out;
    for (const Block& b : blocks)
        if (b.type != 0) out.push_back(b);
    return out;
}

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// The stream one channel carried, as its receiver takes it: good data blocks
// with the block number it expects next, each once.
struct ChannelStream {
    std::string bytes_hex;
    std::vector<int> numbers;
};
ChannelStream received_on(const std::vector<Block>& blocks, int direction, int channel) {
    ChannelStream s;
    int expected = 0;
    for (const Block& b : blocks) {
        if (b.direction != direction || b.type != 0x11 || b.channel != channel || !b.crc_ok) continue;
        if (b.number != expected) continue;
        s.bytes_hex += b.data_hex;
        s.numbers.push_back(b.number);
        expected = (expected + 1) % 256;
    }
    return s;
}

std::vector<unsigned char> test_bytes(std::size_t n) {
    std::vector<unsigned char> v(n);
    // No 4D 4D pairs: a pattern that counts, skipping 0x4D.
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(i * 7 + i / 256);
        v[i] = c == 0x4D ? 0x4E : c;
    }
    return v;
}

// Sends `sent` on pipe 1 of the device to its echo program, with the
// connection capturing to `file` (or, with an empty name, to what
// ZORBEL_CAPTURE says), and reads the echo back.
std::vector<unsigned char> echo_captured(const std::string& hardware_id, const std::string& file,
                                         const std::vector<unsigned char>& sent) {
    zorbel::Connection c = zorbel::connect(hardware_id);
    if (!file.empty()) c.capture(file);
    zorbel::Pipe p = c.pipe(1);
    p.write(sent.data(), sent.size(), std::chrono::seconds(30));
    p.flush(std::chrono::seconds(30));
    std::vector<unsigned char> got;
    unsigned char buf[4096];
    while (got.size() < sent.size()) {
        std::size_t n = p.read(buf, sizeof buf, std::chrono::seconds(30));
        if (n == 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    p.close();
    c.close();
    return got;
}

// The blocks of pipe 1 both ways carry exactly the bytes the connection sent
// and received, in blocks numbered from 0 without a gap.
void expect_pipe_one(const std::vector<Block>& blocks, const std::vector<unsigned char>& sent,
                     const std::vector<unsigned char>& got) {
    ChannelStream out = received_on(blocks, 0, 1);
    EXPECT_EQ(out.bytes_hex, hex(sent));
    EXPECT_EQ(out.numbers.size(), (sent.size() + 511) / 512);
    ChannelStream in = received_on(blocks, 1, 2);
    EXPECT_EQ(in.bytes_hex, hex(got));
    for (const Block& b : blocks) {
        if (b.crc_ok) {
            EXPECT_TRUE(b.channel == 1 || b.channel == 2) << "channel " << b.channel;
        }
    }
}

class Capture : public ::testing::TestWithParam<zorbel::testing::RigMaker> {
protected:
    void SetUp() override {
        SKIP_WITHOUT_TSHARK();
        std::string unavailable;
        rig_ = GetParam()(unavailable);
        if (!rig_) GTEST_SKIP() << unavailable;
        device_ = rig_->add_device('c');
        ASSERT_TRUE(device_.valid());
        device_.bind(1, zorbel::echo_program());
    }
    void TearDown() override { std::remove(file_.c_str()); }

    std::unique_ptr<DeviceRig> rig_;
    zorbel::EmulatedDevice device_;
    std::string file_ = temp_path(std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".pcapng");
};

// The environment's capture on the emulated bus, the modern call's through
// the libusb backend: tshark reads either without a word, and the dissector
// finds every block the connection sent and received.
TEST_P(Capture, RecordsEveryBlockBothWays) {
    const std::vector<unsigned char> sent = test_bytes(5000);
    std::vector<unsigned char> got;
    if (GetParam() == &zorbel::testing::make_emulated_rig) {
        ::setenv("ZORBEL_CAPTURE", file_.c_str(), 1);
        got = echo_captured(DeviceRig::hardware_id('c'), "", sent);
        ::unsetenv("ZORBEL_CAPTURE");
    } else {
        got = echo_captured(DeviceRig::hardware_id('c'), file_, sent);
    }
    ASSERT_EQ(got, sent);
    EXPECT_EQ(tshark_complaints(file_), "");
    const std::vector<Block> blocks = dissect(file_);
    expect_pipe_one(blocks, sent, got);
    for (const Block& b : blocks) EXPECT_TRUE(b.crc_ok);
    EXPECT_NE(run("capinfos " + file_).find("did not keep up: 0 "), std::string::npos);
}

// A link that corrupts, drops and duplicates: the damaged blocks show with a
// bad CRC, the host's repeated requests show, and the good blocks still add
// up to exactly what the connection took in.
TEST_P(Capture, ShowsDamageAndRepeatsOnAFaultyLink) {
    if (GetParam() != &zorbel::testing::make_emulated_rig) GTEST_SKIP() << "faults are the emulated link's";
    // The capture sees the host's side: its writes as they left, its reads
    // as they arrived, damage and all. Few faults, each costing a repeated
    // request's wait; the seed puts the first damaged byte early.
    zorbel::LaneSettings to_device;
    to_device.duplicate_transfer = 0.05;
    zorbel::LaneSettings to_host;
    to_host.corrupt_byte = 0.001;
    to_host.drop_transfer = 0.01;
    to_host.duplicate_transfer = 0.05;
    to_host.seed = 31;
    device_.set_link(to_device, to_host);
    const std::vector<unsigned char> sent = test_bytes(3000);
    const std::vector<unsigned char> got = echo_captured(DeviceRig::hardware_id('c'), file_, sent);
    ASSERT_EQ(got, sent);
    const std::vector<Block> blocks = dissect(file_);
    expect_pipe_one(blocks, sent, got);
    int bad[2] = {0, 0}, repeats = 0;
    for (const Block& b : blocks) {
        if (!b.crc_ok) ++bad[b.direction];
        if (b.repeated) ++repeats;
    }
    // Each damaged block needs a flipped byte (one damaged in its
    // synchronisation pair is not found at all); what the host wrote is whole.
    EXPECT_EQ(bad[0], 0);
    EXPECT_GT(bad[1], 0);
    EXPECT_LE(static_cast<std::uint64_t>(bad[1]), device_.to_host_stats().corrupted_bytes);
    EXPECT_GT(repeats, 0);
    const std::string damaged =
        run("tshark -X lua_script:" ZORBEL_DISSECTOR " -r " + file_ + " -Y 'zorbel.crc_ok == 0' 2>/dev/null");
    EXPECT_NE(damaged.find("BAD CRC"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Emulated, Capture, ::testing::Values(&zorbel::testing::make_emulated_rig));
INSTANTIATE_TEST_SUITE_P(Libusb, Capture, ::testing::Values(&zorbel::testing::make_libusb_rig));

// --- a capture laid out by hand, as usbmon and tcpdump write one (classic
// pcap, link type 220, submission and completion records) ---------------

class UsbmonFile {
public:
    explicit UsbmonFile(const std::string& path) : out_(path, std::ios::binary) {
        const std::uint32_t header[6] = {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 220};
        out_.write(reinterpret_cast<const char*>(header), sizeof header);
    }
    // One transfer: its submission (with the data when OUT) and completion
    // (with the data when IN).
    void transfer(bool in, const std::vector<unsigned char>& data) {
        record('S', in, in ? std::vector<unsigned char>() : data, in ? 16384 : data.size());
        record('C', in, in ? data : std::vector<unsigned char>(), data.size());
        ++id_;
    }

private:
    void record(char type, bool in, const std::vector<unsigned char>& data, std::size_t urb_len) {
        unsigned char h[64] = {};
        std::memcpy(h, &id_, 8);
        h[8] = static_cast<unsigned char>(type);
        h[9] = 3;  // bulk
        h[10] = in ? 0x81 : 0x01;
        h[11] = 5;  // device 5
        const std::uint16_t bus = 2;
        std::memcpy(h + 12, &bus, sizeof bus);
        h[14] = '-';
        h[15] = data.empty() ? (in ? '<' : '>') : 0;
        const std::int64_t sec = 1700000000;
        const std::int32_t usec = 1000 * static_cast<std::int32_t>(id_);
        std::memcpy(h + 16, &sec, 8);
        std::memcpy(h + 24, &usec, 4);
        const auto len = static_cast<std::uint32_t>(urb_len), cap = static_cast<std::uint32_t>(data.size());
        std::memcpy(h + 32, &len, 4);
        std::memcpy(h + 36, &cap, 4);
        const std::uint32_t rec[4] = {static_cast<std::uint32_t>(sec), static_cast<std::uint32_t>(usec),
                                      64 + cap, 64 + cap};
        out_.write(reinterpret_cast<const char*>(rec), sizeof rec);
        out_.write(reinterpret_cast<const char*>(h), sizeof h);
        out_.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out_.flush();
    }

    std::ofstream out_;
    std::uint64_t id_ = 0x1000;
};

std::vector<unsigned char> block(int type, int channel, int number, const std::vector<unsigned char>& payload,
                                 bool damage_crc = false) {
    std::vector<unsigned char> b = {0x4D,
                                    0x4D,
                                    static_cast<unsigned char>(type),
                                    static_cast<unsigned char>(channel),
                                    static_cast<unsigned char>(number),
                                    static_cast<unsigned char>(payload.size() >> 8),
                                    static_cast<unsigned char>(payload.size())};
    b.insert(b.end(), payload.begin(), payload.end());
    CRC32 crc;
    crc.update(b.data(), static_cast<unsigned long>(b.size()));
    std::uint32_t v = crc.get() ^ (damage_crc ? 1u : 0u);
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(v >> shift));
    return b;
}

std::vector<unsigned char> join(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Blocks split across transfers, several in one, bytes before a pair, a
// damaged CRC and a keep-alive, each direction reassembled on its own.
TEST(CaptureByHand, UsbmonLayoutReadsTheSameWay) {
    SKIP_WITHOUT_TSHARK();
    const std::string file = temp_path("usbmon.pcap");
    const std::vector<unsigned char> hello = {'h', 'e', 'l', 'l', 'o'};
    const std::vector<unsigned char> a = block(0x11, 1, 0, hello);
    const std::vector<unsigned char> b = block(0x12, 2, 0, {2, 7, 0, 0});
    const std::vector<unsigned char> c = block(0x11, 3, 4, {1, 2, 3}, true);
    const std::vector<unsigned char> alive = block(0x13, 0, 0, {});
    const std::vector<unsigned char> big = block(0x11, 2, 0, test_bytes(512));
    {
        UsbmonFile f(file);
        std::vector<unsigned char> first = join({a, b});
        std::vector<unsigned char> tail(first.end() - 9, first.end());
        first.resize(first.size() - 9);
        f.transfer(false, first);  // a and the start of b
        f.transfer(true, std::vector<unsigned char>(big.begin(), big.begin() + 100));
        f.transfer(false, join({tail, {'x', 'y', 'z'}, c}));  // the rest of b, noise, c
        f.transfer(true, join({std::vector<unsigned char>(big.begin() + 100, big.end()), alive}));
    }
    EXPECT_EQ(tshark_complaints(file), "");
    const std::vector<Block> blocks = dissect(file);
    ASSERT_EQ(blocks.size(), 5u);
    struct Expected {
        int direction, type, channel, number, length;
        bool crc_ok;
    };
    const Expected expected[] = {
        {0, 0x11, 1, 0, 5, true},   {0, 0x12, 2, 0, 4, true}, {0, 0x11, 3, 4, 3, false},
        {1, 0x11, 2, 0, 512, true}, {1, 0x13, 0, 0, 0, true},
    };
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(blocks[i].direction, expected[i].direction);
        EXPECT_EQ(blocks[i].type, expected[i].type);
        EXPECT_EQ(blocks[i].channel, expected[i].channel);
        EXPECT_EQ(blocks[i].number, expected[i].number);
        EXPECT_EQ(blocks[i].length, expected[i].length);
        EXPECT_EQ(blocks[i].crc_ok, expected[i].crc_ok);
    }
    EXPECT_EQ(blocks[0].data_hex, hex(hello));
    EXPECT_EQ(blocks[3].data_hex, hex(test_bytes(512)));
    EXPECT_EQ(blocks[1].command, 2);
    EXPECT_EQ(blocks[1].argument, 7);
    // The three bytes before c: the one frame with lost synchronisation.
    const std::string lost = run("tshark -X lua_script:" ZORBEL_DISSECTOR " -r " + file +
                                 " -Y zorbel.sync_lost -T fields -e frame.number 2>/dev/null");
    EXPECT_EQ(lost, "5\n");
#ifdef ZORBEL_TOOL_PATH
    // The tool's summary reads the classic pcap layout the same way.
    const std::string summary = run(std::string(ZORBEL_TOOL_PATH) + " capture --json " + file);
    EXPECT_NE(summary.find("\"blocks\":5,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("{\"pipe\":1,\"direction\":\"device to host\",\"blocks\":1,\"bytes\":512,"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("{\"pipe\":1,\"direction\":\"host to device\",\"blocks\":1,\"bytes\":5,"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("\"crc_failures\":1,\"lost_sync_bytes\":3,"), std::string::npos) << summary;
#endif
    std::remove(file.c_str());
}

#ifdef ZORBEL_TOOL_PATH
// What a user runs: the demo with --capture, read by tshark and by the
// tool's own summary, which counts what the demo moved (1 MiB through each
// of its pipes' directions), each block once.
TEST(CaptureTool, DemoCaptureReadsInTsharkAndTheSummary) {
    SKIP_WITHOUT_TSHARK();
    const std::string file = temp_path("demo.pcapng");
    const std::string tool = ZORBEL_TOOL_PATH;
    ASSERT_EQ(shell((tool + " --emulate --capture " + file + " demo --megabytes 1 >/dev/null")), 0);
    EXPECT_EQ(tshark_complaints(file), "");
    const std::string summary = run(tool + " capture --json " + file);
    for (const char* entry :
         {"{\"pipe\":1,\"direction\":\"device to host\",\"blocks\":2048,\"bytes\":1048576,",
          "{\"pipe\":1,\"direction\":\"host to device\",\"blocks\":2048,\"bytes\":1048576,",
          "{\"pipe\":2,\"direction\":\"host to device\",\"blocks\":2048,\"bytes\":1048576,",
          // the endless source may send a block more than the demo reads
          "{\"pipe\":3,\"direction\":\"device to host\",\"blocks\":204", "\"crc_failures\":0,"})
        EXPECT_NE(summary.find(entry), std::string::npos) << entry << " in " << summary;
    // Every block reads whole (the per-block checks against what was sent
    // are the Capture tests', on smaller transfers).
    EXPECT_EQ(
        run("tshark -X lua_script:" ZORBEL_DISSECTOR " -r " + file + " -Y 'zorbel.crc_ok == 0' 2>/dev/null"),
        "");
    EXPECT_NE(run(tool + " capture " + file + " --pipe 2").find("    2  host to device"), std::string::npos);
    EXPECT_NE(shell((tool + " capture /nonexistent.pcapng 2>/dev/null")), 0);
    std::remove(file.c_str());
}
#endif

// A disk that does not keep up: records that find the queue full are
// dropped, never waited for, and the count is in the file's comment.
TEST(CaptureFile, CountsDroppedRecordsInTheFile) {
    SKIP_WITHOUT_TSHARK();
    const std::string file = temp_path("drops.pcapng");
    std::error_code ec;
    {
        // A queue smaller than one record: every record is dropped.
        std::shared_ptr<zorbel::detail::CaptureFile> capture =
            zorbel::detail::CaptureFile::open(file, false, ec, 64);
        ASSERT_TRUE(capture) << ec.message();
        const std::vector<unsigned char> data = test_bytes(100);
        zorbel::detail::UsbEvent event;
        for (int i = 0; i < 3; ++i)
            capture->record(event, data.data(), static_cast<std::uint32_t>(data.size()));
        EXPECT_EQ(capture->dropped(), 3u);
    }
    EXPECT_EQ(tshark_complaints(file), "");
    EXPECT_NE(run("capinfos " + file).find("did not keep up: 3 "), std::string::npos);
    EXPECT_FALSE(zorbel::detail::CaptureFile::open("/nonexistent-dir/x.pcapng", false, ec));
    EXPECT_TRUE(ec);
    std::remove(file.c_str());
}

}  // namespace
