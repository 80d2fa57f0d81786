// A byte transport for tests that keeps what the block engine sends.
//
// Every flush() with bytes queued is recorded as one transfer, so a test checks
// the blocks on the wire byte for byte; hget_byte() serves bytes the test
// scripted with feed(), for the polled receive path. frame_block() builds a
// valid block (CRC included) for feeding a receiver.
//
// Thread-safety: every member may be called from any thread (one mutex guards
// the recorded and scripted bytes). The on_transfer hook runs on the flushing
// thread after the transfer has been recorded, with no lock of ours held, so
// it may feed bytes to a block engine or record further transfers itself.
#ifndef ZORBEL_BLOCK_TESTING_RECORDING_TRANSPORT_H
#define ZORBEL_BLOCK_TESTING_RECORDING_TRANSPORT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "block/crc32_fast.h"
#include "zorbel/block.h"

namespace zorbel {
namespace testing {

using Bytes = std::vector<unsigned char>;

// One whole block as it travels: sync, header, payload, CRC.
inline Bytes frame_block(unsigned char type, unsigned char channel, unsigned char block_no,
                         const Bytes& payload) {
    Bytes b;
    b.reserve(payload.size() + BlockProtocol::overhead);
    for (unsigned char h :
         {static_cast<unsigned char>(0x4D), static_cast<unsigned char>(0x4D), type, channel, block_no,
          static_cast<unsigned char>(payload.size() >> 8), static_cast<unsigned char>(payload.size() & 0xFF)})
        b.push_back(h);
    for (unsigned char p : payload) b.push_back(p);
    std::uint32_t crc = ~zorbel::detail::crc32_update(0xFFFFFFFFu, b.data(), b.size());
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(crc >> shift));
    return b;
}

inline Bytes frame_command(unsigned char channel, int command, unsigned char arg) {
    return frame_block(BlockProtocol::blk_command, channel, 0,
                       {static_cast<unsigned char>(command), arg, 0, 0});
}

// Hands `bytes` to the engine's pushed receive path as a reader thread does:
// a refused chunk (the table locked, the critical section held by a stream on
// another thread) is offered again after the wait the engine asks for. False
// only if it is still refused after `timeout_ms`.
inline bool push_chunk(BlockDriver& engine, Bytes bytes, unsigned long timeout_ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (unsigned int refusals = 0;; ++refusals) {
        if (engine.dispatch_block_callback(bytes.data(), static_cast<unsigned int>(bytes.size())))
            return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        engine.await_dispatch(refusals);
    }
}

class RecordingTransport : public FormalSeqDriver {
public:
    using TransferHook = std::function<void(const Bytes&)>;

    // --- what the test reads and scripts

    // Every transfer so far, oldest first.
    std::vector<Bytes> transfers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    std::size_t transfer_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_.size();
    }
    // Transfer i, or an empty vector when there is none.
    Bytes transfer(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return i < sent_.size() ? sent_[i] : Bytes{};
    }
    // Waits until at least `count` transfers were recorded; false on time-out.
    bool wait_for_transfers(std::size_t count, unsigned long timeout_ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return recorded_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return sent_.size() >= count; });
    }
    void clear_transfers() {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.clear();
    }
    // What flush() answers from now on (true at first). A failed flush still
    // records its transfer and empties the queue.
    void set_flush_result(bool ok) {
        std::lock_guard<std::mutex> lock(mutex_);
        flush_result_ = ok;
    }
    // What flush_waits_for_peer() answers (true at first, as for any
    // transport that does not say otherwise).
    void set_flush_waits_for_peer(bool waits) { flush_waits_.store(waits); }
    void set_on_transfer(TransferHook hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }
    // Appends bytes that hget_byte() will return, in order.
    void feed(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        input_.insert(input_.end(), bytes.begin(), bytes.end());
    }

    // --- FormalSeqDriver

    // Never waits: -1 as soon as the scripted bytes are used up.
    int hget_byte() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished.load() || input_.empty()) return -1;
        int c = input_.front();
        input_.pop_front();
        return c;
    }
    bool hput_byte(int c) override {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(static_cast<unsigned char>(c & 0xFF));
        return true;
    }
    bool flush() override {
        Bytes sent;
        TransferHook hook;
        bool ok;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) return true;
            sent.swap(queue_);
            sent_.push_back(sent);
            ok = flush_result_;
            hook = hook_;
        }
        recorded_.notify_all();
        if (hook) hook(sent);
        return ok;
    }
    bool flush_waits_for_peer() override { return flush_waits_.load(); }
    bool open_port(char*, long, long) override { return true; }
    bool close_port(char*) override { return true; }
    bool init() override {
        finished.store(false);
        return true;
    }
    bool done() override {
        finish();
        return true;
    }
    bool set_input_callback_buff(unsigned char* buf, unsigned int len) override {
        std::lock_guard<std::mutex> lock(mutex_);
        buff_ = buf;
        buff_len_ = len;
        return true;
    }
    bool set_input_block_driver(BlockDriver* bd) override {
        std::lock_guard<std::mutex> lock(mutex_);
        driver_ = bd;
        return true;
    }
    BlockDriver* get_input_block_driver() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return driver_;
    }
    unsigned char* get_input_callback_buff() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return buff_;
    }
    unsigned int get_input_callback_buff_len() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return buff_len_;
    }

private:
    std::mutex mutex_;
    std::condition_variable recorded_;
    Bytes queue_;
    std::vector<Bytes> sent_;
    std::deque<unsigned char> input_;
    bool flush_result_ = true;
    std::atomic<bool> flush_waits_{true};
    TransferHook hook_;
    BlockDriver* driver_ = nullptr;
    unsigned char* buff_ = nullptr;
    unsigned int buff_len_ = 0;
};

}  // namespace testing
}  // namespace zorbel

#endif
