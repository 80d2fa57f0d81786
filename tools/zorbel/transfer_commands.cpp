// send, recv, echo and bench: byte streams over the pipes of one device.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include <fmt/format.h>

#include "byte_files.h"
#include "checks.h"
#include "commands.h"
#include "connection.h"
#include "console.h"
#include "failure.h"
#include "output.h"
#include "transfer.h"

namespace zorbel_tool {
namespace {

std::string percentile_row(const char* label, double us) {
    return fmt::format("  {:<8}{:>10.1f} us\n", label, us);
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    auto at = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, at == 0 ? 0 : at - 1)];
}

void print_latencies_json(std::vector<double> us, const DeviceEntry& device, int pipe, int size,
                          bool was_interrupted) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    fmt::print(
        "{{\"schema\": 1, \"device\": {}, \"pipe\": {}, \"size\": {}, \"count\": {}, \"min_us\": {:.1f}, "
        "\"median_us\": {:.1f}, \"p90_us\": {:.1f}, \"p99_us\": {:.1f}, \"max_us\": {:.1f}, \"mean_us\": "
        "{:.1f}, \"interrupted\": {}}}\n",
        device_json(device), pipe, size, us.size(), us.front(), percentile(us, 50), percentile(us, 90),
        percentile(us, 99), us.back(), sum / static_cast<double>(us.size()),
        was_interrupted ? "true" : "false");
}

void print_latencies(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    fmt::print("{}", percentile_row("min", us.front()));
    fmt::print("{}", percentile_row("median", percentile(us, 50)));
    fmt::print("{}", percentile_row("p90", percentile(us, 90)));
    fmt::print("{}", percentile_row("p99", percentile(us, 99)));
    fmt::print("{}", percentile_row("max", us.back()));
    fmt::print("{}", percentile_row("mean", sum / static_cast<double>(us.size())));
    // Buckets by powers of two show the shape: a link with a steady latency
    // fills one or two rows, retransmissions show as a far second hump.
    int first = static_cast<int>(std::floor(std::log2(std::max(1.0, us.front()))));
    int last = static_cast<int>(std::floor(std::log2(std::max(1.0, us.back()))));
    std::vector<std::size_t> counts(static_cast<std::size_t>(last - first + 1));
    for (double v : us) ++counts[static_cast<std::size_t>(std::floor(std::log2(std::max(1.0, v)))) - first];
    std::size_t most = *std::max_element(counts.begin(), counts.end());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        double low = std::ldexp(1.0, first + static_cast<int>(i));
        int bar =
            static_cast<int>(std::lround(40.0 * static_cast<double>(counts[i]) / static_cast<double>(most)));
        fmt::print("  {:>8.0f} us+ {:<40} {}\n", low, std::string(static_cast<std::size_t>(bar), '#'),
                   counts[i]);
    }
}

// A finished transfer as JSON: the same device object as everywhere.
void print_transfer_json(const Connection& connection, int pipe, const TransferResult& r, bool receiving) {
    fmt::print(
        "{{\"schema\": 1, \"device\": {}, \"pipe\": {}, \"bytes\": {}, \"seconds\": {:.6f}, "
        "\"bytes_per_second\": {:.0f}{}}}\n",
        device_json(connection.device()), pipe, r.bytes, r.seconds, r.seconds > 0 ? r.bytes / r.seconds : 0,
        receiving ? fmt::format(", \"ended_by_device\": {}", r.ended_by_device ? "true" : "false") : "");
}

}  // namespace

void add_transfer_commands(CLI::App& app, std::vector<Command>& commands) {
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            int pipe = 0;
            std::string file;
            double timeout_s = 10;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* send = app.add_subcommand("send", "Send a file (or standard input) over a pipe");
        send->add_option("N", o->device, "Device number")->required()->check(device_number_check());
        send->add_option("PIPE", o->pipe, "Pipe number, 1 to 125")
            ->required()
            ->check(whole_number_check(1, 125, "a pipe number"));
        send->add_option("FILE", o->file, "File to send; standard input when absent or -")
            ->check(file_name_check());
        send->add_option("--timeout", o->timeout_s,
                         "Seconds the device may take no data before the send fails")
            ->capture_default_str()
            ->check(seconds_check());
        send->add_flag("--json", o->json, "Print what was sent as JSON for scripts");
        commands.push_back(
            {send, [o](Bus& bus, const Globals& g) {
                 o->number = device_number(o->device);
                 check_pipe_number(o->pipe);
                 InputFile in(o->file);
                 Connection connection(bus, o->number);
                 Pipe pipe(connection, o->pipe);
                 Progress progress("sending", in.size(), progress_wanted() && !g.quiet);
                 TransferOptions options;
                 options.timeout_s = o->timeout_s;
                 options.expected = in.size();
                 options.progress = &progress;
                 TransferResult r = send_stream(
                     pipe, [&](unsigned char* b, std::size_t cap) { return in.read(b, cap); }, options);
                 // Releasing the pipe is the end of the stream for the device.
                 pipe.release();
                 progress.finish();
                 if (o->json) print_transfer_json(connection, o->pipe, r, false);
                 if (!g.quiet)
                     fmt::print(stderr, "sent {} bytes to {} pipe {} in {:.2f} s ({})\n", r.bytes,
                                connection.name(), o->pipe, r.seconds,
                                human_rate(r.seconds > 0 ? r.bytes / r.seconds : 0));
                 auto tally =
                     o->pipe == kSinkPipe ? bus.sink_tally(connection.device().hardware_id) : nullptr;
                 if (tally && tally->wait_for(r.bytes, 2000) && !g.quiet)
                     fmt::print(stderr, "the emulated device's sink has read {} bytes, CRC-32 {:08x}\n",
                                tally->bytes(), tally->crc32());
                 return kExitOk;
             }});
    }
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            int pipe = 0;
            std::string file;
            std::uint64_t bytes = 0;
            double timeout_s = 10;
            bool force = false;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* recv = app.add_subcommand("recv", "Receive from a pipe into a file (or standard output)");
        recv->add_option("N", o->device, "Device number")->required()->check(device_number_check());
        recv->add_option("PIPE", o->pipe, "Pipe number, 1 to 125")
            ->required()
            ->check(whole_number_check(1, 125, "a pipe number"));
        recv->add_option("FILE", o->file, "File to write; standard output when absent or -")
            ->check(file_name_check());
        recv->add_option(
                "--bytes", o->bytes,
                "Stop after this many bytes (suffixes k, M, G); without it, until the device ends the "
                "stream")
            ->transform(byte_count_transform());
        recv->add_flag("--force", o->force,
                       "Write to standard output even when it is a terminal, and replace a FILE that this "
                       "user may not write");
        recv->add_option("--timeout", o->timeout_s, "Seconds without data before the receive fails")
            ->capture_default_str()
            ->check(seconds_check());
        recv->add_flag("--json", o->json, "Print what was received as JSON for scripts (needs a FILE)");
        commands.push_back(
            {recv, [o](Bus& bus, const Globals& g) {
                 o->number = device_number(o->device);
                 check_pipe_number(o->pipe);
                 if (is_stdio(o->file) && is_terminal(1) && !o->force)
                     throw Failure(
                         "refusing to write the device's bytes to a terminal; name a FILE, "
                         "redirect the output, or add --force",
                         kExitUsage);
                 if (is_stdio(o->file) && o->json)
                     throw Failure("--json needs a FILE: standard output carries the device's bytes",
                                   kExitUsage);
                 OutputFile out(o->file, o->force);
                 Connection connection(bus, o->number);
                 Pipe pipe(connection, o->pipe);
                 Progress progress("receiving", o->bytes, progress_wanted() && !g.quiet);
                 TransferOptions options;
                 options.timeout_s = o->timeout_s;
                 options.expected = o->bytes;
                 options.progress = &progress;
                 TransferResult r;
                 try {
                     r = recv_stream(
                         pipe, [&](const unsigned char* d, std::size_t n) { out.write(d, n); }, o->bytes,
                         options);
                 } catch (const Failure& f) {
                     // The bytes that got through are kept, and the line says where.
                     const std::string kept = out.partial_file();
                     if (kept.empty() || f.what()[0] == '\0') throw;
                     throw Failure(fmt::format("{}; they are in {}", f.what(), kept), f.status());
                 }
                 pipe.release();
                 out.commit();
                 progress.finish();
                 if (o->json) print_transfer_json(connection, o->pipe, r, true);
                 if (!g.quiet)
                     fmt::print(stderr, "received {} bytes from {} pipe {} in {:.2f} s ({}){}\n", r.bytes,
                                connection.name(), o->pipe, r.seconds,
                                human_rate(r.seconds > 0 ? r.bytes / r.seconds : 0),
                                r.ended_by_device ? "; the device ended the stream" : "");
                 return kExitOk;
             }});
    }
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            int pipe = 0;
            int count = 100;
            int size = 64;
            double timeout_s = 10;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* echo = app.add_subcommand("echo", "Round trips over an echoing pipe, with their latencies");
        echo->add_option("N", o->device, "Device number")->required()->check(device_number_check());
        echo->add_option("PIPE", o->pipe, "Pipe number of an echo program, 1 to 125")
            ->required()
            ->check(whole_number_check(1, 125, "a pipe number"));
        echo->add_option("--count", o->count, "Round trips")
            ->capture_default_str()
            ->check(whole_number_check(1, 1000000, "a count"));
        echo->add_option("--size", o->size, "Bytes per round trip (one block: 1 to 512)")
            ->capture_default_str()
            ->check(whole_number_check(1, 512, "a number of bytes"));
        echo->add_flag("--json", o->json, "Print the latencies as JSON for scripts");
        echo->add_option("--timeout", o->timeout_s, "Seconds to wait for one reply")
            ->capture_default_str()
            ->check(seconds_check());
        commands.push_back(
            {echo, [o](Bus& bus, const Globals&) {
                 o->number = device_number(o->device);
                 check_pipe_number(o->pipe);
                 Connection connection(bus, o->number);
                 Pipe pipe(connection, o->pipe);
                 // A fresh stream's first fetch waits out the request interval
                 // before it asks, so one round trip is made before measuring.
                 echo_round_trips(pipe, 1, o->size, o->timeout_s);
                 std::vector<double> us = echo_round_trips(pipe, o->count, o->size, o->timeout_s);
                 const int status = interrupted() ? interrupted_status() : kExitOk;
                 if (o->json) {
                     print_latencies_json(us, connection.device(), o->pipe, o->size, status != kExitOk);
                     return status;
                 }
                 fmt::print("{} round trips of {} bytes over {} pipe {} (after one warm-up){}\n", us.size(),
                            o->size, connection.name(), o->pipe, status == kExitOk ? "" : "; interrupted");
                 print_latencies(us);
                 return status;
             }});
    }
    {
        struct Options {
            int number = 0;
            std::string device;  // N as given; number is resolved from it
            int pipes = 4;
            int first_pipe = kSinkPipe;
            std::uint64_t bytes = 1 << 20;
            std::string direction = "send";
            double timeout_s = 10;
            bool json = false;
        };
        auto o = std::make_shared<Options>();
        CLI::App* bench = app.add_subcommand("bench", "Throughput over 1 to K pipes at once");
        bench->add_option("N", o->device, "Device number")->required()->check(device_number_check());
        bench->add_option("--pipes", o->pipes, "The largest number of pipes at once (K)")
            ->capture_default_str()
            ->check(whole_number_check(1, 125, "a number of pipes"));
        bench
            ->add_option(
                "--first-pipe", o->first_pipe,
                "The first pipe; the others follow it. The device must run a sink (send) or a source "
                "(recv) on each; the emulated device is given them")
            ->capture_default_str()
            ->check(whole_number_check(1, 125, "a pipe number"));
        bench->add_option("--bytes", o->bytes, "Bytes per pipe (suffixes k, M, G)")
            ->capture_default_str()
            ->transform(byte_count_transform());
        bench->add_option("--direction", o->direction, "send: to the device; recv: from it")
            ->capture_default_str()
            ->check(CLI::IsMember({"send", "recv"}));
        bench->add_flag("--json", o->json, "Print the rows as JSON for scripts");
        bench->add_option("--timeout", o->timeout_s, "Seconds without progress before a pipe fails")
            ->capture_default_str()
            ->check(seconds_check());
        commands.push_back(
            {bench,
             [o](Bus& bus, const Globals&) {
                 o->number = device_number(o->device);
                 int last = o->first_pipe + o->pipes - 1;
                 check_pipe_number(last);
                 bool sending = o->direction == "send";
                 Connection connection(bus, o->number);
                 if (!o->json) {
                     fmt::print("{} {} per pipe {} {} over pipes {} to {}\n",
                                sending ? "sending" : "receiving", human_bytes(double(o->bytes)),
                                sending ? "to" : "from", connection.name(), o->first_pipe, last);
                     fmt::print("{:>5}  {:>12}  {:>8}  {:>12}  {:>12}\n", "PIPES", "BYTES", "SECONDS",
                                "TOTAL", "PER PIPE");
                 }
                 std::string rows;
                 for (int k = 1; k <= o->pipes; ++k) {
                     std::vector<std::unique_ptr<Pipe>> pipes;
                     for (int p = o->first_pipe; p < o->first_pipe + k; ++p)
                         pipes.push_back(std::make_unique<Pipe>(connection, p));
                     std::vector<std::exception_ptr> errors(pipes.size());
                     std::vector<std::thread> threads;
                     auto began = std::chrono::steady_clock::now();
                     for (std::size_t i = 0; i < pipes.size(); ++i)
                         threads.emplace_back([&, i] {
                             TransferOptions options;
                             options.timeout_s = o->timeout_s;
                             options.expected = o->bytes;
                             try {
                                 if (sending) {
                                     std::uint64_t made = 0;
                                     send_stream(
                                         *pipes[i],
                                         [&](unsigned char* b, std::size_t cap) {
                                             auto n = static_cast<std::size_t>(
                                                 std::min<std::uint64_t>(cap, o->bytes - made));
                                             std::memset(b, 0x5A, n);
                                             made += n;
                                             return n;
                                         },
                                         options);
                                 } else {
                                     recv_stream(
                                         *pipes[i], [](const unsigned char*, std::size_t) {}, o->bytes,
                                         options);
                                 }
                             } catch (...) {
                                 errors[i] = std::current_exception();
                             }
                         });
                     for (auto& t : threads) t.join();
                     double s =
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                     for (auto& e : errors)
                         if (e) std::rethrow_exception(e);
                     double total = double(o->bytes) * k;
                     if (o->json) {
                         rows += fmt::format(
                             "{}{{\"pipes\": {}, \"bytes\": {}, \"seconds\": {:.6f}, \"bytes_per_second\": "
                             "{:.0f}}}",
                             rows.empty() ? "" : ", ", k, static_cast<std::uint64_t>(total), s, total / s);
                         continue;
                     }
                     fmt::print("{:>5}  {:>12}  {:>8.3f}  {:>12}  {:>12}\n", k,
                                static_cast<std::uint64_t>(total), s, human_rate(total / s),
                                human_rate(total / s / k));
                 }
                 if (o->json)
                     fmt::print(
                         "{{\"schema\": 1, \"device\": {}, \"direction\": \"{}\", \"bytes_per_pipe\": {}, "
                         "\"first_pipe\": {}, \"rows\": [{}]}}\n",
                         device_json(connection.device()), o->direction, o->bytes, o->first_pipe, rows);
                 return kExitOk;
             },
             [o](EmulationOptions& e) {
                 // The emulated device serves the bench's pipes with what it needs.
                 for (int p = o->first_pipe; p < o->first_pipe + o->pipes && p <= 125; ++p)
                     e.programs[p] = o->direction == "send" ? "sink" : "source";
             }});
    }
}

}  // namespace zorbel_tool
