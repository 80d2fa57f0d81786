// Moving bytes over one pipe, with the checks that make a transfer's outcome
// trustworthy: a block counts as sent only once the device has confirmed it,
// and every way of stopping early says how many bytes got through.
#ifndef ZORBEL_TOOL_TRANSFER_H
#define ZORBEL_TOOL_TRANSFER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "connection.h"
#include "output.h"

namespace zorbel_tool {

// Fills up to `capacity` bytes; 0 means the end. May throw a Failure.
using ByteSource = std::function<std::size_t(unsigned char* buf, std::size_t capacity)>;
// Takes bytes that arrived. May throw a Failure.
using ByteSink = std::function<void(const unsigned char* data, std::size_t count)>;

struct TransferOptions {
    double timeout_s = 10;                      // longest wait without progress
    std::uint64_t expected = 0;                 // total when known, for progress and messages
    Progress* progress = nullptr;               // may be null
    const std::atomic<bool>* cancel = nullptr;  // a partner thread gave up
};

struct TransferResult {
    std::uint64_t bytes = 0;
    double seconds = 0;
    bool ended_by_device = false;  // receiving: the device closed the stream
};

// Sends every byte of `source`, one confirmed block at a time.
TransferResult send_stream(Pipe& pipe, const ByteSource& source, const TransferOptions& options);

// Receives until `limit` bytes arrived (0: until the device ends the stream).
TransferResult recv_stream(Pipe& pipe, const ByteSink& sink, std::uint64_t limit,
                           const TransferOptions& options);

// Round trips of `size` bytes (one block, 1..512) over an echoing pipe; the
// latency of each in microseconds. A reply that differs is a Failure.
// Stops early on a signal, with the round trips made so far (at least one,
// or the interruption is thrown).
std::vector<double> echo_round_trips(Pipe& pipe, int count, int size, double timeout_s);

// Sends `bytes` of the source pattern while receiving them back over an
// echoing pipe, and checks every byte that returns.
TransferResult echo_bulk(Pipe& pipe, std::uint64_t bytes, double timeout_s, Progress* progress);

}  // namespace zorbel_tool

#endif
