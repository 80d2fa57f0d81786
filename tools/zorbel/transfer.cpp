#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include <fmt/format.h>

#include "failure.h"

namespace zorbel_tool {
namespace {

using clock_type = std::chrono::steady_clock;

// The library waits in steps of this length, so that a transfer notices an
// interrupt, a lost device or a cancelled partner between steps.
constexpr long kStepMs = 200;
constexpr std::size_t kBlockSize = 512;  // one block of the channel protocol

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

std::string got_through(std::uint64_t bytes, std::uint64_t expected) {
    return expected ? fmt::format("{} of {} bytes got through", bytes, expected)
                    : fmt::format("{} bytes got through", bytes);
}

// Why a transfer that made no progress for a while cannot go on, if it cannot.
void check_stalled(Pipe& pipe, const TransferOptions& options, std::uint64_t bytes,
                   clock_type::time_point idle_since, const char* waiting_for) {
    Connection& c = pipe.connection();
    if (interrupted())
        throw Failure(fmt::format("interrupted; {}", got_through(bytes, options.expected)),
                      interrupted_status());
    if (options.cancel && options.cancel->load()) throw Failure("cancelled");
    if (c.lost())
        throw Failure(fmt::format("{} went away during the transfer; {}; plug it in again and retry",
                                  c.name(), got_through(bytes, options.expected)),
                      kExitFailed, "device_gone");
    if (seconds_since(idle_since) > options.timeout_s)
        throw Failure(
            fmt::format("{} {} on pipe {} for {:g} s; {} (is a program on the device serving that pipe?)",
                        c.name(), waiting_for, pipe.number(), options.timeout_s,
                        got_through(bytes, options.expected)),
            kExitFailed, "timed_out");
}

// Hands one block to the device and waits until the device confirms it.
void deliver_block(Pipe& pipe, const unsigned char* data, std::size_t n, std::uint64_t sent,
                   const TransferOptions& options) {
    // Only a channel stream can say when the device has confirmed a block.
    auto* channel = dynamic_cast<ChannelOutput*>(&pipe.output());
    if (!channel)
        throw Failure(
            fmt::format("pipe {} of {} has no channel to send on", pipe.number(), pipe.connection().name()));
    ChannelOutput& out = *channel;
    // The stream's buffer is empty between blocks, so a block always fits.
    if (out.write(data, static_cast<long>(n)) != static_cast<long>(n))
        throw Failure(
            fmt::format("pipe {} refused data; {}", pipe.number(), got_through(sent, options.expected)));
    auto idle_since = clock_type::now();
    while (!out.flush()) {
        if (out.is_bad() && !pipe.connection().lost())
            throw Failure(fmt::format("{} closed pipe {}; {}", pipe.connection().name(), pipe.number(),
                                      got_through(sent, options.expected)));
        check_stalled(pipe, options, sent, idle_since, "took no data");
    }
}

}  // namespace

TransferResult send_stream(Pipe& pipe, const ByteSource& source, const TransferOptions& options) {
    pipe.output().set_timeout(kStepMs);
    Connection& c = pipe.connection();
    TransferResult result;
    auto began = clock_type::now();
    std::vector<unsigned char> buf(64 * 1024);
    for (;;) {
        // Looked at between blocks too: a device that takes every block at
        // once never makes a flush wait, and a source such as /dev/zero
        // never ends, so a signal would otherwise go unseen until the end.
        if (interrupted())
            throw Failure(fmt::format("interrupted; {}", got_through(result.bytes, options.expected)),
                          interrupted_status());
        std::size_t got = source(buf.data(), buf.size());
        if (got == 0) break;
        for (std::size_t at = 0; at < got; at += kBlockSize) {
            if (interrupted())
                throw Failure(fmt::format("interrupted; {}", got_through(result.bytes, options.expected)),
                              interrupted_status());
            std::size_t n = std::min(kBlockSize, got - at);
            deliver_block(pipe, buf.data() + at, n, result.bytes, options);
            result.bytes += n;
            if (options.progress) options.progress->update(result.bytes);
            c.bus().transfer_progress(c.device().hardware_id, result.bytes);
        }
    }
    result.seconds = seconds_since(began);
    return result;
}

TransferResult recv_stream(Pipe& pipe, const ByteSink& sink, std::uint64_t limit,
                           const TransferOptions& options) {
    Input& in = pipe.input();
    in.set_timeout(kStepMs);
    Connection& c = pipe.connection();
    TransferResult result;
    auto began = clock_type::now();
    auto idle_since = began;
    std::vector<unsigned char> buf(64 * 1024);
    while (limit == 0 || result.bytes < limit) {
        std::size_t want = buf.size();
        if (limit) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, limit - result.bytes));
        long n = in.read(buf.data(), static_cast<long>(want));
        if (n > 0) {
            sink(buf.data(), static_cast<std::size_t>(n));
            result.bytes += static_cast<std::uint64_t>(n);
            idle_since = clock_type::now();
            if (options.progress) options.progress->update(result.bytes);
            c.bus().transfer_progress(c.device().hardware_id, result.bytes);
            if (interrupted())
                throw Failure(fmt::format("interrupted; {}", got_through(result.bytes, options.expected)),
                              interrupted_status());
            continue;
        }
        // A deleted channel is the device's way of ending the stream; a
        // finished link (read gives -1) is a device that is gone.
        if (n == 0 && in.is_bad() && !c.lost()) {
            result.ended_by_device = true;
            break;
        }
        check_stalled(pipe, options, result.bytes, idle_since, "sent no data");
    }
    result.seconds = seconds_since(began);
    return result;
}

std::vector<double> echo_round_trips(Pipe& pipe, int count, int size, double timeout_s) {
    std::vector<double> latencies;
    std::vector<unsigned char> message(static_cast<std::size_t>(size));
    std::vector<unsigned char> reply;
    TransferOptions options;
    options.timeout_s = timeout_s;
    pipe.output().set_timeout(kStepMs);
    for (int i = 0; i < count; ++i) {
        // Interrupted: the round trips so far are the result, as ping reports
        // its summary on Ctrl-C; with none yet there is nothing to report.
        if (interrupted()) {
            if (latencies.empty())
                throw Failure("interrupted before the first round trip", interrupted_status());
            break;
        }
        for (std::size_t k = 0; k < message.size(); ++k) message[k] = static_cast<unsigned char>(i * 31 + k);
        reply.clear();
        auto began = clock_type::now();
        try {
            deliver_block(pipe, message.data(), message.size(), 0, options);
            recv_stream(
                pipe, [&](const unsigned char* d, std::size_t n) { reply.insert(reply.end(), d, d + n); },
                message.size(), options);
        } catch (const Failure&) {
            if (interrupted() && !latencies.empty()) break;
            throw;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - began).count());
        if (reply != message)
            throw Failure(fmt::format(
                "the reply to round trip {} differs from what was sent; the link corrupts data", i + 1));
    }
    return latencies;
}

TransferResult echo_bulk(Pipe& pipe, std::uint64_t bytes, double timeout_s, Progress* progress) {
    std::atomic<bool> reader_failed{false};
    std::atomic<bool> writer_failed{false};
    std::exception_ptr writer_error;
    TransferOptions send_options;
    send_options.timeout_s = timeout_s;
    send_options.expected = bytes;
    send_options.cancel = &reader_failed;

    // The echo answers each block as it reads it and waits until its answer
    // is taken, so sending and receiving must run at the same time.
    std::thread writer([&] {
        std::uint64_t made = 0;
        try {
            send_stream(
                pipe,
                [&](unsigned char* buf, std::size_t cap) {
                    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(cap, bytes - made));
                    for (std::size_t k = 0; k < n; ++k) buf[k] = zorbel::source_pattern(made + k);
                    made += n;
                    return n;
                },
                send_options);
        } catch (...) {
            writer_error = std::current_exception();
            writer_failed.store(true);
        }
    });

    TransferOptions recv_options = send_options;
    recv_options.progress = progress;
    recv_options.cancel = &writer_failed;
    TransferResult result;
    std::uint64_t checked = 0;
    try {
        result = recv_stream(
            pipe,
            [&](const unsigned char* d, std::size_t n) {
                for (std::size_t k = 0; k < n; ++k, ++checked)
                    if (d[k] != zorbel::source_pattern(checked))
                        throw Failure(
                            fmt::format("the echo returned a different byte at offset {}", checked));
            },
            bytes, recv_options);
    } catch (...) {
        reader_failed.store(true);
        writer.join();
        // The side that failed first tells the real story; the other one
        // only saw its partner give up.
        if (writer_error) std::rethrow_exception(writer_error);
        throw;
    }
    writer.join();
    if (writer_error) std::rethrow_exception(writer_error);
    return result;
}

}  // namespace zorbel_tool
