// `--capture FILE` (every command: record the connection's USB transfers)
// and `zorbel capture FILE`: what a capture shows, without a packet tool.
//
// The summary reads pcapng and classic pcap files of USB transfers in the
// Linux usbmon layouts (link types 220 and 189), as the library and usbmon
// write them, reassembles each direction of each device into blocks as the
// library's receiver does, and counts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "commands.h"
#include "environment.h"
#include "failure.h"
#include "output.h"
#include "zorbel/block.h"

namespace zorbel_tool {
namespace {

struct Record {
    double time = 0;  // seconds
    int bus = 0, device = 0;
    bool in = false;
    std::vector<unsigned char> data;
};

std::uint32_t u32(const unsigned char* p, bool swap) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return swap ? ((v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24)) : v;
}
std::uint16_t u16(const unsigned char* p, bool swap) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return swap ? static_cast<std::uint16_t>((v >> 8) | (v << 8)) : v;
}

// One usbmon packet (its header in the writer's byte order) to a record;
// false for what carries no bulk data.
bool usbmon_record(const unsigned char* p, std::size_t len, int linktype, bool swap, double time, Record& r) {
    const std::size_t header = linktype == 220 ? 64 : 48;
    if (len < header || p[9] != 3) return false;  // bulk only
    r.time = time;
    r.in = (p[10] & 0x80) != 0;
    r.device = p[11];
    r.bus = u16(p + 12, swap);
    r.data.assign(p + header, p + len);
    return !r.data.empty();
}

std::vector<Record> read_capture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read " + path);
    const std::vector<unsigned char> f((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    std::vector<Record> records;
    const auto bad = [&] { return Failure(path + " is not a pcap or pcapng capture of USB transfers"); };
    if (f.size() < 24) throw bad();
    const std::uint32_t magic = u32(f.data(), false);
    if (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D || magic == 0x4D3CB2A1) {
        const bool swap = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
        const bool nano = magic == 0xA1B23C4D || magic == 0x4D3CB2A1;
        const int linktype = static_cast<int>(u32(f.data() + 20, swap));
        if (linktype != 220 && linktype != 189) throw bad();
        for (std::size_t at = 24; at + 16 <= f.size();) {
            const std::uint32_t cap = u32(f.data() + at + 8, swap);
            if (at + 16 + cap > f.size()) break;
            const double t = u32(f.data() + at, swap) + u32(f.data() + at + 4, swap) / (nano ? 1e9 : 1e6);
            Record r;
            if (usbmon_record(f.data() + at + 16, cap, linktype, swap, t, r)) records.push_back(std::move(r));
            at += 16 + cap;
        }
        return records;
    }
    if (magic != 0x0A0D0D0A) throw bad();
    bool swap = false;
    std::vector<std::pair<int, double>> interfaces;  // link type, seconds per tick
    for (std::size_t at = 0; at + 12 <= f.size();) {
        std::uint32_t type = u32(f.data() + at, swap);
        if (type == 0x0A0D0D0A) {
            swap = u32(f.data() + at + 8, false) != 0x1A2B3C4D;
            interfaces.clear();
        }
        const std::uint32_t total = u32(f.data() + at + 4, swap);
        if (total < 12 || at + total > f.size()) break;
        const unsigned char* b = f.data() + at + 8;
        if (type == 1) {
            double tick = 1e-6;
            // Options after link type, reserved and snap length: if_tsresol.
            for (std::size_t o = 8; o + 4 <= total - 12;) {
                const std::uint16_t code = u16(b + o, swap), n = u16(b + o + 2, swap);
                if (code == 0) break;
                if (code == 9 && n == 1)
                    tick =
                        (b[o + 4] & 0x80) ? std::ldexp(1.0, -(b[o + 4] & 0x7F)) : std::pow(10.0, -b[o + 4]);
                o += 4 + ((n + 3u) & ~3u);
            }
            interfaces.emplace_back(u16(b, swap), tick);
        } else if (type == 6 && total >= 32) {
            const std::uint32_t iface = u32(b, swap);
            const std::uint32_t cap = u32(b + 12, swap);
            if (iface < interfaces.size() && 20 + cap <= total - 12) {
                const int linktype = interfaces[iface].first;
                const double ticks = static_cast<double>(u32(b + 4, swap)) * 4294967296.0 + u32(b + 8, swap);
                Record r;
                if ((linktype == 220 || linktype == 189) &&
                    usbmon_record(b + 20, cap, linktype, swap, ticks * interfaces[iface].second, r))
                    records.push_back(std::move(r));
            }
        }
        at += total;
    }
    return records;
}

struct PipeCount {
    std::uint64_t blocks = 0, bytes = 0;  // each block once, as its receiver took it
    std::uint64_t resent = 0;             // the same block again
};

struct Summary {
    std::map<std::pair<int, bool>, PipeCount> pipes;  // (pipe, host to device)
    std::uint64_t blocks = 0, crc_failures = 0, repeated_requests = 0, lost_sync_bytes = 0;
    double longest_gap = 0, gap_at = 0, first = 0;
};

// One direction of one device, reassembled as the library's receiver does.
struct Stream {
    std::vector<unsigned char> pending;
    std::map<int, int> asked;     // channel -> block number asked for last
    std::map<int, int> expected;  // channel -> the data block number due next
};

void scan(Stream& s, const std::vector<unsigned char>& data, int only_pipe, Summary& sum) {
    std::vector<unsigned char>& buf = s.pending;
    buf.insert(buf.end(), data.begin(), data.end());
    std::size_t pos = 0;
    while (true) {
        std::size_t i = pos;
        while (i + 1 < buf.size() && !(buf[i] == 0x4D && buf[i + 1] == 0x4D)) ++i;
        if (i + 1 >= buf.size()) {
            const std::size_t keep = (!buf.empty() && buf.back() == 0x4D && i < buf.size()) ? 1 : 0;
            sum.lost_sync_bytes += buf.size() - keep - pos;
            pos = buf.size() - keep;
            break;
        }
        sum.lost_sync_bytes += i - pos;
        pos = i;
        if (buf.size() - pos < 7) break;
        const int type = buf[pos + 2], channel = buf[pos + 3];
        const std::size_t len = static_cast<std::size_t>(buf[pos + 5]) << 8 | buf[pos + 6];
        const bool ok_header =
            (type == 0x11 && len <= 512) || (type == 0x12 && len <= 4) || (type == 0x13 && len == 0);
        if (!ok_header) {
            pos += 7;
            continue;
        }
        if (buf.size() - pos < 11 + len) break;
        const unsigned char* b = buf.data() + pos;
        CRC32 crc;
        crc.update(const_cast<unsigned char*>(b), static_cast<unsigned long>(7 + len));
        const std::uint32_t wire =
            static_cast<std::uint32_t>(b[7 + len]) << 24 | b[8 + len] << 16 | b[9 + len] << 8 | b[10 + len];
        pos += 11 + len;
        const int pipe = (channel + 1) / 2;
        if (only_pipe > 0 && pipe != only_pipe) continue;
        ++sum.blocks;
        if (crc.get() != wire) {
            ++sum.crc_failures;
            continue;
        }
        if (type == 0x11 && channel != 0) {
            PipeCount& c = sum.pipes[{pipe, channel % 2 == 1}];
            // The first block seen on a channel sets the count going (a
            // capture may start in the middle); the one before the block due
            // is the last one again; any other number starts afresh (a reset).
            auto due = s.expected.find(channel);
            if (due != s.expected.end() && b[4] == (due->second + 255) % 256) {
                ++c.resent;
            } else {
                ++c.blocks;
                c.bytes += len;
                s.expected[channel] = (b[4] + 1) % 256;
            }
        } else if (type == 0x12 && len >= 2 && b[7] == 2) {
            auto it = s.asked.find(channel);
            if (it != s.asked.end() && it->second == b[8]) ++sum.repeated_requests;
            s.asked[channel] = b[8];
        }
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
}

Summary summarise(const std::vector<Record>& records, int only_pipe) {
    Summary sum;
    std::map<std::tuple<int, int, bool>, Stream> streams;
    double last = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        const Record& r = records[k];
        if (k == 0) sum.first = r.time;
        if (k > 0 && r.time - last > sum.longest_gap) {
            sum.longest_gap = r.time - last;
            sum.gap_at = last - sum.first;
        }
        last = r.time;
        scan(streams[std::make_tuple(r.bus, r.device, r.in)], r.data, only_pipe, sum);
    }
    return sum;
}

void set_capture_environment(const std::string& file) { set_environment("ZORBEL_CAPTURE", file); }

}  // namespace

void add_capture_command(CLI::App& app, std::vector<Command>& commands) {
    // Every connection a command makes records into the file (the library
    // reads ZORBEL_CAPTURE when a connection is made).
    app.add_option_function<std::string>("--capture", set_capture_environment,
                                         "Record every USB transfer to FILE (pcapng, readable by Wireshark "
                                         "and tshark; see zorbel.lua for the dissector)")
        ->type_name("FILE");

    auto file = std::make_shared<std::string>();
    auto pipe = std::make_shared<int>(0);
    auto json = std::make_shared<bool>(false);
    CLI::App* cmd = app.add_subcommand(
        "capture",
        "Summarise a capture: blocks and bytes per pipe and direction, repeated requests, CRC "
        "failures and the longest gap");
    cmd->add_option("FILE", *file, "A capture (pcapng or pcap, usbmon layout)")->required();
    cmd->add_option("--pipe", *pipe, "Only this pipe")->check(CLI::Range(1, 125));
    cmd->add_flag("--json", *json, "As one JSON object");
    commands.push_back(
        {cmd, [file, pipe, json](Bus&, const Globals&) {
             const std::vector<Record> records = read_capture(*file);
             const Summary s = summarise(records, *pipe);
             if (*json) {
                 std::string pipes;
                 for (const auto& [key, c] : s.pipes)
                     pipes += fmt::format(
                         "{}{{\"pipe\":{},\"direction\":\"{}\",\"blocks\":{},\"bytes\":{},"
                         "\"resent\":{}}}",
                         pipes.empty() ? "" : ",", key.first,
                         key.second ? "host to device" : "device to host", c.blocks, c.bytes, c.resent);
                 fmt::print(
                     "{{\"file\":{},\"transfers\":{},\"blocks\":{},\"pipes\":[{}],"
                     "\"repeated_requests\":{},\"crc_failures\":{},\"lost_sync_bytes\":{},"
                     "\"longest_gap_s\":{:.6f},\"longest_gap_after_s\":{:.6f}}}\n",
                     json_string(*file), records.size(), s.blocks, pipes, s.repeated_requests, s.crc_failures,
                     s.lost_sync_bytes, s.longest_gap, s.gap_at);
                 return kExitOk;
             }
             fmt::print("{}: {} transfers with data, {} blocks\n", *file, records.size(), s.blocks);
             fmt::print("{:>5}  {:<15} {:>8} {:>12} {:>7}\n", "pipe", "direction", "blocks", "bytes",
                        "resent");
             for (const auto& [key, c] : s.pipes)
                 fmt::print("{:>5}  {:<15} {:>8} {:>12} {:>7}\n", key.first,
                            key.second ? "host to device" : "device to host", c.blocks, c.bytes, c.resent);
             fmt::print("repeated requests: {}\nCRC failures: {}\nbytes skipped to find a block: {}\n",
                        s.repeated_requests, s.crc_failures, s.lost_sync_bytes);
             fmt::print("longest gap: {:.6f} s, {:.6f} s into the capture\n", s.longest_gap, s.gap_at);
             return kExitOk;
         }});
}

}  // namespace zorbel_tool
