// Two byte transports joined back to back by two lanes.
//
// An end queues what the block engine writes and hands each flush to its
// outgoing lane as one transfer, as a USB write request would go out. The far
// lane's thread plays the USB reader thread: it copies each chunk into the
// end's callback buffer (or its own 1000-byte buffer while none is set) and
// hands it to the end's block engine through dispatch_block_callback. While no
// engine is set, chunks feed the polled input (hget_byte) instead.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "emulator/lane.h"
#include "zorbel/emulator.h"

namespace zorbel {

namespace {

// Like a USB driver's transfer buffer: hput_byte queues up to this many bytes
// and sends them by itself when the queue is full.
constexpr std::size_t kOutQueueSize = 4096;
// What a device would buffer for a host that polls; beyond it bytes are lost.
constexpr std::size_t kPolledInputLimit = 1 << 20;
constexpr unsigned long kDefaultTimeoutMs = 10000;

// One end of the link.
// Thread-safety: the output queue is used by one thread at a time (the block
// engine's output mutex sees to that); input hand-overs, delivery and the
// polled input are guarded by `input_mutex_`, which a delivery holds for the
// whole chunk, so after set_input_callback_buff or done() returns no delivery
// is still writing into the buffer that was withdrawn.
class LinkEnd : public FormalSeqDriver {
public:
    explicit LinkEnd(emulator::Lane& out) : out_(out) {
        i_timeout.store(kDefaultTimeoutMs);
        o_timeout.store(kDefaultTimeoutMs);
    }

    // Called on the far lane's thread with each chunk for this end. A chunk
    // the engine refuses is offered again by the lane at once; waiting here
    // as the engine says first keeps a client that holds the critical
    // section for long from costing a core. The wait is bounded (a few
    // milliseconds) and happens under input_mutex_, so the engine cannot be
    // withdrawn and destroyed meanwhile.
    bool deliver(const unsigned char* data, unsigned len) {
        std::lock_guard<std::mutex> lock(input_mutex_);
        if (finished.load()) return true;  // input stopped: the chunk is lost
        if (driver_ == nullptr) {
            const std::size_t room = kPolledInputLimit - std::min(kPolledInputLimit, polled_.size());
            polled_.insert(polled_.end(), data, data + std::min<std::size_t>(len, room));
            polled_ready_.notify_all();
            return true;
        }
        unsigned char* buf = callback_buf_;
        if (buf == nullptr || callback_len_ < len) buf = own_buf_;
        std::memcpy(buf, data, len);
        if (driver_->dispatch_block_callback(buf, len)) {
            refusals_ = 0;
            return true;
        }
        driver_->await_dispatch(refusals_++);
        return false;
    }

    void stop_input() {
        finish();
        std::lock_guard<std::mutex> lock(input_mutex_);
        polled_ready_.notify_all();
    }

    int hget_byte() override {
        std::unique_lock<std::mutex> lock(input_mutex_);
        const auto wait = std::chrono::milliseconds(i_timeout.load());
        if (!polled_ready_.wait_for(lock, wait, [this] { return finished.load() || !polled_.empty(); }))
            return -1;
        if (finished.load()) return -1;
        const int c = polled_.front();
        polled_.pop_front();
        return c;
    }

    // Called once per byte of every block: the common case stays a leaf of a
    // few instructions, the full queue goes out of line.
    bool hput_byte(int c) override {
        if (out_len_ == kOutQueueSize) return put_into_full_queue(c);
        out_buf_[out_len_++] = static_cast<unsigned char>(c & 0xFF);
        return true;
    }

    // As hput_byte byte by byte: a byte that meets a full queue sends it
    // first, and a byte whose send failed is dropped.
    bool hput_bytes(const unsigned char* data, unsigned int n) override {
        bool ok = true;
        while (n > 0) {
            if (out_len_ == kOutQueueSize) {
                if (!flush()) {
                    ok = false;
                    ++data;
                    --n;
                    continue;
                }
            }
            const std::size_t take = std::min<std::size_t>(n, kOutQueueSize - out_len_);
            std::memcpy(out_buf_ + out_len_, data, take);
            out_len_ += take;
            data += take;
            n -= static_cast<unsigned int>(take);
        }
        return ok;
    }

    bool flush() override {
        if (out_len_ == 0) return true;
        const bool ok = out_.send(out_buf_, out_len_);
        out_len_ = 0;
        return ok;
    }

    // A flush queues its transfer on the outgoing lane and returns.
    bool flush_waits_for_peer() override { return false; }

    bool open_port(char*, long, long) override { return true; }
    bool close_port(char*) override { return true; }
    bool init() override {
        finished.store(false);
        return true;
    }
    bool done() override {
        stop_input();
        return true;
    }

    bool set_input_callback_buff(unsigned char* buf, unsigned int len) override {
        std::lock_guard<std::mutex> lock(input_mutex_);
        callback_buf_ = buf;
        callback_len_ = buf != nullptr ? len : 0;
        return true;
    }
    bool set_input_block_driver(BlockDriver* bd) override {
        std::lock_guard<std::mutex> lock(input_mutex_);
        driver_ = bd;
        return true;
    }
    BlockDriver* get_input_block_driver() override {
        std::lock_guard<std::mutex> lock(input_mutex_);
        return driver_;
    }
    unsigned char* get_input_callback_buff() override {
        std::lock_guard<std::mutex> lock(input_mutex_);
        return callback_buf_;
    }
    unsigned int get_input_callback_buff_len() override {
        std::lock_guard<std::mutex> lock(input_mutex_);
        return callback_len_;
    }

private:
    // Sends the full queue as one transfer, as a USB driver does when its
    // buffer fills, then queues `c`.
    __attribute__((noinline)) bool put_into_full_queue(int c) {
        if (!flush()) return false;
        out_buf_[out_len_++] = static_cast<unsigned char>(c & 0xFF);
        return true;
    }

    emulator::Lane& out_;
    unsigned char out_buf_[kOutQueueSize];
    std::size_t out_len_ = 0;

    std::mutex input_mutex_;
    std::condition_variable polled_ready_;
    BlockDriver* driver_ = nullptr;
    unsigned char* callback_buf_ = nullptr;
    unsigned int callback_len_ = 0;
    // Refusals of the chunk being offered, for await_dispatch.
    unsigned int refusals_ = 0;
    unsigned char own_buf_[emulator::Lane::kMaxChunkSize];
    std::deque<unsigned char> polled_;
};

}  // namespace

class EmulatedLinkImpl {
public:
    EmulatedLinkImpl(const LaneSettings& a_to_b, const LaneSettings& b_to_a)
        : a_to_b(a_to_b), b_to_a(b_to_a), a(this->a_to_b), b(this->b_to_a) {
        this->a_to_b.start([this](const unsigned char* d, unsigned n) { return b.deliver(d, n); },
                           "zorbel a>b");
        this->b_to_a.start([this](const unsigned char* d, unsigned n) { return a.deliver(d, n); },
                           "zorbel b>a");
    }

    void shut_down() {
        a_to_b.close();
        b_to_a.close();
        a.stop_input();
        b.stop_input();
    }

    // The lanes go last: their threads reach the ends until closed.
    emulator::Lane a_to_b;
    emulator::Lane b_to_a;
    LinkEnd a;
    LinkEnd b;
};

EmulatedLink::EmulatedLink(const LaneSettings& a_to_b, const LaneSettings& b_to_a)
    : impl_(new EmulatedLinkImpl(a_to_b, b_to_a)) {}

EmulatedLink::~EmulatedLink() { shut_down(); }

FormalSeqDriver& EmulatedLink::a() { return impl_->a; }
FormalSeqDriver& EmulatedLink::b() { return impl_->b; }

void EmulatedLink::set_a_to_b(const LaneSettings& settings) { impl_->a_to_b.set_settings(settings); }
void EmulatedLink::set_b_to_a(const LaneSettings& settings) { impl_->b_to_a.set_settings(settings); }
LaneStats EmulatedLink::a_to_b_stats() const { return impl_->a_to_b.stats(); }
LaneStats EmulatedLink::b_to_a_stats() const { return impl_->b_to_a.stats(); }

void EmulatedLink::shut_down() { impl_->shut_down(); }

}  // namespace zorbel
