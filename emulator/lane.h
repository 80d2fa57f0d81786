// One direction of an emulated link: a queue of transfers that hands its bytes
// on in chunks, with a delay, a bandwidth cap and injected faults.
#ifndef ZORBEL_EMULATOR_LANE_H
#define ZORBEL_EMULATOR_LANE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "support/mutex.h"
#include "zorbel/emulator.h"

namespace zorbel {
namespace emulator {

// A lane carries the bytes one side writes to the side that reads, the way a
// USB pipe does: the writer hands over whole transfers (send), the reader gets
// chunks of at most 1000 bytes whose boundaries have nothing to do with the
// transfers or the blocks inside them. A chunk holds bytes that are due now; a
// reader never waits for a chunk to fill up, just as a USB read completes on
// a short packet. Due bytes of consecutive transfers may share one chunk.
//
// What the settings do (LaneSettings):
//  - chunk sizes are drawn uniformly from [min_chunk, max_chunk] (clamped to
//    1..1000) for every chunk handed on;
//  - a transfer becomes due `delay_us` after it has passed the bandwidth cap
//    (a transfer occupies the lane for len/bandwidth seconds after the
//    previous one has passed; 0 means no cap);
//  - at send time a transfer may be dropped whole, each of its bytes may be
//    flipped (xor with a non-zero value), and it may be queued twice.
// The faults come from one generator and the chunk sizes from another, both
// seeded from `seed` whenever settings are set: the same transfers sent in
// the same order meet the same faults and the same chunk sizes.
//
// Two ways to consume a lane, chosen once per lane:
//  - push mode, start(sink): the lane's own thread waits for due bytes and
//    calls sink(chunk, len) for each chunk. A sink that returns false refuses
//    the chunk (e.g. a block engine whose channel table is changing); the same
//    chunk is offered again after a yield, never lost nor reordered. A sink
//    that can be refused for long waits before it returns false
//    (BlockDriver::await_dispatch), or the lane spins.
//  - pull mode, no thread: the consumer calls take(buf, max), which blocks
//    until bytes are due and copies one chunk (at most `max` bytes) out.
//
// Steady state allocates nothing: transfer storage is recycled.
//
// Thread-safety: every member may be called from any thread. In pull mode at
// most one thread should take at a time (more work, but share the chunks).
class Lane {
public:
    using Sink = std::function<bool(const unsigned char* data, unsigned len)>;
    using Clock = std::chrono::steady_clock;

    static constexpr unsigned kMaxChunkSize = 1000;

    explicit Lane(const LaneSettings& settings = LaneSettings());
    // Closes the lane and joins its thread (push mode).
    ~Lane();
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    // Applies to transfers sent (faults, timing) and chunks cut (sizes) from
    // now on; reseeds both generators.
    void set_settings(const LaneSettings& settings);
    LaneSettings settings() const;
    // transfers: sends accepted (dropped ones included); bytes and chunks:
    // what has been handed on to the reader; the fault counts as named.
    LaneStats stats() const;

    // Queues one transfer (copied). False, and nothing queued, once the lane
    // is closed. A transfer lost to an injected drop still returns true: the
    // sender cannot tell, as on a real wire. A zero-length send is a no-op.
    bool send(const unsigned char* data, std::size_t len);

    // Push mode: starts the delivery thread. Call at most once, before any
    // take(); `sink` runs on the lane's thread, never under the lane's lock.
    // `thread_name` (at most 15 characters kept) names the thread where the
    // system allows, so debuggers, profilers and benchmarks can tell lanes
    // apart.
    void start(Sink sink, const char* thread_name = nullptr);

    // Pull mode: waits until bytes are due and copies one chunk of at most
    // `max` bytes into `buf`; returns its size (> 0), or -1 when the lane is
    // closed, when `max` is 0, or when cancel_take() ended this take.
    long take(unsigned char* buf, unsigned max);
    // As take, but also -1 when the lane has been closed since closings()
    // returned `opened` (though reopened since): a reader that decided to
    // take before a cable was pulled and put back must not wait on the new
    // cable as if nothing had happened.
    long take(unsigned char* buf, unsigned max, std::uint64_t opened);
    // How many times the lane has been closed so far.
    std::uint64_t closings() const;
    // Ends the take under way with -1; if none is under way, the next take
    // returns -1 at once. The cancel is consumed by the one take it ends, so
    // a cancel racing the start of a take is never lost and never doubles.
    void cancel_take();

    // Drops every transfer not yet handed on, fails every later send and take
    // (a take under way returns -1), and stops the push thread after the
    // chunk it is offering (if any) has been taken or refused. Idempotent.
    // In push mode it also joins the thread unless called on that thread.
    void close();
    bool is_closed() const;
    // Opens a closed lane again with an empty queue (pull mode only, e.g. a
    // device plugged back in). A pending cancel is discarded.
    void reopen();
    // Drops every transfer not yet handed on and leaves the lane open, in
    // either mode (what was on a cable that was pulled).
    void discard();
    // Takes back a cancel that no take has consumed; true when there was one.
    bool withdraw_cancel();

    // Bytes queued and not yet handed on (due or not).
    std::size_t queued_bytes() const;

private:
    struct Transfer {
        std::vector<unsigned char> bytes;
        std::size_t pos = 0;
        Clock::time_point due;
    };

    // Splitmix64: tiny, fast and the same on every platform, so a seed
    // reproduces a run anywhere.
    struct Random {
        std::uint64_t state = 0;
        std::uint64_t next();
        double unit();                             // [0, 1)
        unsigned range(unsigned lo, unsigned hi);  // [lo, hi]
    };

    void reseed_locked() REQUIRES(mutex_);
    void queue_locked(const unsigned char* data, std::size_t len, Clock::time_point due, bool corrupt)
        REQUIRES(mutex_);
    void corrupt_locked(std::vector<unsigned char>& bytes) REQUIRES(mutex_);
    // Waits (lock held) until bytes are due or `stop` says so. True when a
    // chunk can be cut.
    bool wait_due_locked(detail::MutexLock& lock, const std::function<bool()>& stop) REQUIRES(mutex_);
    void learn_wake_late(Clock::duration late) REQUIRES(mutex_);
    // Cuts one chunk of at most `max` bytes from the due transfers.
    unsigned cut_chunk_locked(unsigned char* buf, unsigned max) REQUIRES(mutex_);
    void run();
    void clear_queue_locked() REQUIRES(mutex_);

    mutable detail::Mutex mutex_;
    std::condition_variable changed_;
    LaneSettings settings_ GUARDED_BY(mutex_);
    LaneStats stats_ GUARDED_BY(mutex_);
    Random fault_rng_ GUARDED_BY(mutex_);
    Random chunk_rng_ GUARDED_BY(mutex_);
    // Transfers in order, as a ring over `ring_` (head_, count_); recycled.
    std::vector<Transfer> ring_ GUARDED_BY(mutex_);
    std::size_t head_ GUARDED_BY(mutex_) = 0;
    std::size_t count_ GUARDED_BY(mutex_) = 0;
    std::size_t queued_ GUARDED_BY(mutex_) = 0;
    Clock::time_point busy_until_ GUARDED_BY(mutex_);  // when the bandwidth cap frees the lane
    // Distance to the next corrupted byte, carried across transfers.
    std::uint64_t corrupt_skip_ GUARDED_BY(mutex_) = 0;
    unsigned waiters_ GUARDED_BY(mutex_) = 0;  // consumers inside a wait on changed_
    // How late this lane's timed waits have been ending, on average: the
    // next one ends that much before the due time (see wait_due_locked).
    Clock::duration wake_late_ GUARDED_BY(mutex_) = Clock::duration::zero();
    bool closed_ GUARDED_BY(mutex_) = false;
    std::uint64_t closings_ GUARDED_BY(mutex_) = 0;
    bool cancel_pending_ GUARDED_BY(mutex_) = false;
    bool push_mode_ GUARDED_BY(mutex_) = false;

    // Set under mutex_ before the push thread starts, then read by that
    // thread alone (the thread's start orders the two).
    Sink sink_;
    detail::Mutex join_mutex_;  // two closing threads must not both join
    std::thread thread_;
    unsigned char chunk_[kMaxChunkSize];  // the push thread's chunk
};

}  // namespace emulator
}  // namespace zorbel

#endif
