#include "emulator/lane.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "support/platform_process.h"

namespace zorbel {
namespace emulator {

namespace {

unsigned clamp_chunk(unsigned v) { return std::min(std::max(v, 1u), Lane::kMaxChunkSize); }

constexpr std::chrono::microseconds kMaxWakeLate{100};

}  // namespace

std::uint64_t Lane::Random::next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Lane::Random::unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

unsigned Lane::Random::range(unsigned lo, unsigned hi) {
    if (hi <= lo) return lo;
    return lo + static_cast<unsigned>(next() % (static_cast<std::uint64_t>(hi - lo) + 1));
}

Lane::Lane(const LaneSettings& settings) {
    detail::MutexLock lock(mutex_);  // no other thread yet; keeps the rule simple
    settings_ = settings;
    busy_until_ = Clock::now();
    reseed_locked();
}

Lane::~Lane() { close(); }

void Lane::set_settings(const LaneSettings& settings) {
    detail::MutexLock lock(mutex_);
    settings_ = settings;
    reseed_locked();
}

LaneSettings Lane::settings() const {
    detail::MutexLock lock(mutex_);
    return settings_;
}

LaneStats Lane::stats() const {
    detail::MutexLock lock(mutex_);
    return stats_;
}

std::size_t Lane::queued_bytes() const {
    detail::MutexLock lock(mutex_);
    return queued_;
}

bool Lane::is_closed() const {
    detail::MutexLock lock(mutex_);
    return closed_;
}

void Lane::reseed_locked() {
    // Two streams from one seed: faults are drawn on the sender's thread and
    // chunk sizes on the reader's, so sharing one generator would make the
    // sequence depend on how the threads interleave.
    fault_rng_.state = settings_.seed;
    chunk_rng_.state = settings_.seed ^ 0x5DEECE66Dull;
    corrupt_skip_ = 0;
    const double p = settings_.corrupt_byte;
    if (p > 0 && p < 1) {
        corrupt_skip_ =
            static_cast<std::uint64_t>(std::floor(std::log1p(-fault_rng_.unit()) / std::log1p(-p)));
    }
}

void Lane::corrupt_locked(std::vector<unsigned char>& bytes) {
    const double p = settings_.corrupt_byte;
    if (p <= 0) return;
    // Rather than a draw per byte, draw the gap to the next corrupted byte
    // (geometric distribution): the same odds at a cost per fault, not per byte.
    const double log_q = p < 1 ? std::log1p(-p) : 0;
    std::uint64_t pos = corrupt_skip_;
    while (pos < bytes.size()) {
        bytes[pos] ^= static_cast<unsigned char>(1 + fault_rng_.next() % 255);
        ++stats_.corrupted_bytes;
        std::uint64_t gap = 0;
        if (p < 1) gap = static_cast<std::uint64_t>(std::floor(std::log1p(-fault_rng_.unit()) / log_q));
        pos += 1 + gap;
    }
    corrupt_skip_ = pos - bytes.size();
}

void Lane::queue_locked(const unsigned char* data, std::size_t len, Clock::time_point due, bool corrupt) {
    if (count_ == ring_.size()) {
        // Grow in order; the transfers' storage moves along and is kept.
        std::vector<Transfer> bigger(std::max<std::size_t>(8, ring_.size() * 2));
        for (std::size_t i = 0; i < count_; ++i) bigger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
        ring_.swap(bigger);
        head_ = 0;
    }
    Transfer& t = ring_[(head_ + count_) % ring_.size()];
    t.bytes.assign(data, data + len);  // reuses the slot's capacity
    t.pos = 0;
    t.due = due;
    if (corrupt) corrupt_locked(t.bytes);
    ++count_;
    queued_ += len;
}

bool Lane::send(const unsigned char* data, std::size_t len) {
    bool wake;
    {
        detail::MutexLock lock(mutex_);
        if (closed_) return false;
        if (len == 0) return true;
        ++stats_.transfers;
        if (settings_.drop_transfer > 0 && fault_rng_.unit() < settings_.drop_transfer) {
            ++stats_.dropped_transfers;
            return true;
        }
        const bool twice =
            settings_.duplicate_transfer > 0 && fault_rng_.unit() < settings_.duplicate_transfer;
        Clock::time_point now = Clock::now();
        Clock::time_point passed = now;
        if (settings_.bandwidth > 0) {
            const Clock::time_point start = std::max(now, busy_until_);
            const auto on_wire = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(len) / settings_.bandwidth));
            busy_until_ = start + on_wire;
            passed = busy_until_;
        }
        const Clock::time_point due = passed + std::chrono::microseconds(settings_.delay_us);
        queue_locked(data, len, due, true);
        if (twice) {
            ++stats_.duplicated_transfers;
            queue_locked(data, len, due, true);
        }
        // A consumer that is busy finds the transfer when it looks again; a
        // wake-up is a system call, and on this path every one counts.
        wake = waiters_ > 0;
    }
    if (wake) changed_.notify_all();
    return true;
}

bool Lane::wait_due_locked(detail::MutexLock& lock, const std::function<bool()>& stop) {
    for (;;) {
        if (stop()) return false;
        ++waiters_;
        if (count_ == 0) {
            lock.wait(changed_);
        } else {
            const Clock::time_point due = ring_[head_].due;
            const Clock::time_point now = Clock::now();
            if (due <= now) {
                --waiters_;
                return true;
            }
            // A delay stands for the wire's and must end on time. A timed
            // wait ends late, even with the smallest timer slack: on a
            // virtual machine by some tens of microseconds (waking an idle
            // virtual CPU), as much as a USB microframe's delay is off by a
            // fifth. So the wait ends early by the lateness this lane has
            // seen, and the rest of the delay is spent yielding the CPU.
            if (due - now <= wake_late_) {
                --waiters_;
                lock.yield();
                continue;
            }
            static thread_local bool exact = false;
            if (!exact) {
                detail::keep_exact_time_on_this_thread();
                exact = true;
            }
            const Clock::time_point wake_at = due - wake_late_;
            if (lock.wait_until(changed_, wake_at) == std::cv_status::timeout)
                learn_wake_late(Clock::now() - wake_at);
        }
        --waiters_;
    }
}

// A running average over the last several waits (an eighth of each new one),
// held to at most kMaxWakeLate so that a wait that ended very late under load
// does not turn the next ones into long spins.
void Lane::learn_wake_late(Clock::duration late) {
    if (late < Clock::duration::zero()) return;
    late = std::min<Clock::duration>(late, kMaxWakeLate);
    wake_late_ += (late - wake_late_) / 8;
}

unsigned Lane::cut_chunk_locked(unsigned char* buf, unsigned max) {
    const Clock::time_point now = Clock::now();
    unsigned n = 0;
    while (n < max && count_ > 0) {
        Transfer& t = ring_[head_];
        if (t.due > now) break;
        const std::size_t take = std::min<std::size_t>(max - n, t.bytes.size() - t.pos);
        std::memcpy(buf + n, t.bytes.data() + t.pos, take);
        n += static_cast<unsigned>(take);
        t.pos += take;
        if (t.pos == t.bytes.size()) {
            head_ = (head_ + 1) % ring_.size();
            --count_;
        }
    }
    queued_ -= n;
    ++stats_.chunks;
    stats_.bytes += n;
    return n;
}

void Lane::clear_queue_locked() {
    head_ = 0;
    count_ = 0;
    queued_ = 0;
}

void Lane::start(Sink sink, const char* thread_name) {
    detail::MutexLock lock(mutex_);
    if (push_mode_ || closed_) return;
    push_mode_ = true;
    sink_ = std::move(sink);
    std::string name = thread_name != nullptr ? std::string(thread_name).substr(0, 15) : std::string();
    thread_ = std::thread([this, name] {
        detail::name_this_thread(name.c_str());
        run();
    });
}

void Lane::run() {
    for (;;) {
        unsigned n;
        {
            detail::MutexLock lock(mutex_);
            if (!wait_due_locked(lock, [this]() REQUIRES(mutex_) { return closed_; })) return;
            const unsigned size =
                chunk_rng_.range(clamp_chunk(settings_.min_chunk), clamp_chunk(settings_.max_chunk));
            n = cut_chunk_locked(chunk_, size);
        }
        // The chunk is offered again, after a yield, until taken or closed. A
        // refusal can last (a client may hold the critical section for long),
        // so a sink that refuses waits as its block engine says first.
        while (!sink_(chunk_, n)) {
            {
                detail::MutexLock lock(mutex_);
                if (closed_) return;
            }
            std::this_thread::yield();
        }
    }
}

long Lane::take(unsigned char* buf, unsigned max) { return take(buf, max, closings()); }

std::uint64_t Lane::closings() const {
    detail::MutexLock lock(mutex_);
    return closings_;
}

long Lane::take(unsigned char* buf, unsigned max, std::uint64_t opened) {
    detail::MutexLock lock(mutex_);
    if (max == 0 || push_mode_) return -1;
    if (!wait_due_locked(lock, [this, opened]() REQUIRES(mutex_) {
            return closed_ || cancel_pending_ || closings_ != opened;
        })) {
        if (!closed_) cancel_pending_ = false;  // this take consumes the cancel
        return -1;
    }
    const unsigned size =
        chunk_rng_.range(clamp_chunk(settings_.min_chunk), clamp_chunk(settings_.max_chunk));
    return cut_chunk_locked(buf, std::min(size, max));
}

void Lane::cancel_take() {
    {
        detail::MutexLock lock(mutex_);
        cancel_pending_ = true;
    }
    changed_.notify_all();
}

void Lane::close() {
    {
        detail::MutexLock lock(mutex_);
        if (!closed_) ++closings_;
        closed_ = true;
        clear_queue_locked();
    }
    changed_.notify_all();
    detail::MutexLock join_lock(join_mutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Lane::discard() {
    detail::MutexLock lock(mutex_);
    clear_queue_locked();
}

bool Lane::withdraw_cancel() {
    detail::MutexLock lock(mutex_);
    const bool pending = cancel_pending_;
    cancel_pending_ = false;
    return pending;
}

void Lane::reopen() {
    detail::MutexLock lock(mutex_);
    if (push_mode_) return;
    closed_ = false;
    cancel_pending_ = false;
    clear_queue_locked();
    busy_until_ = Clock::now();
}

}  // namespace emulator
}  // namespace zorbel
