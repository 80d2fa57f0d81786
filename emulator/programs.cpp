// The built-in device programs and the sink's tally.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "zorbel/block.h"
#include "zorbel/emulator.h"

namespace zorbel {

struct SinkTally::State {
    mutable std::mutex mutex;
    mutable std::condition_variable grew;
    std::uint64_t bytes = 0;  // guarded by mutex
    CRC32 crc;                // guarded by mutex
};

SinkTally::SinkTally() : state_(new State) {}
SinkTally::~SinkTally() = default;

std::uint64_t SinkTally::bytes() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->bytes;
}

std::uint32_t SinkTally::crc32() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<std::uint32_t>(state_->crc.get());
}

bool SinkTally::wait_for(std::uint64_t count, unsigned long timeout_ms) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->grew.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return state_->bytes >= count; });
}

void SinkTally::add(const unsigned char* data, std::size_t count) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->crc.update(const_cast<unsigned char*>(data), static_cast<unsigned long>(count));
        state_->bytes += count;
    }
    state_->grew.notify_all();
}

void SinkTally::clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->bytes = 0;
    state_->crc.init();
}

unsigned char source_pattern(std::uint64_t k) {
    return static_cast<unsigned char>((k + 7 * (k >> 9)) & 0xFF);
}

DeviceProgram echo_program() {
    return [](DevicePipe& pipe) {
        // The host usually writes everything before it starts reading, and
        // its input stream asks for nothing until it reads. An echo that
        // waited for each piece to go back before reading the next would
        // stall such a host, so reading and writing run on two threads with
        // a buffer between them.
        constexpr std::size_t kCapacity = 64 * 1024;
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<unsigned char> pending;  // guarded by mutex
        bool over = false;                  // guarded by mutex

        std::thread writer([&] {
            unsigned char out[BlockProtocol::max_data_len];
            for (;;) {
                std::size_t n = 0;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return over || !pending.empty(); });
                    if (pending.empty()) return;
                    while (n < sizeof out && !pending.empty()) {
                        out[n++] = pending.front();
                        pending.pop_front();
                    }
                }
                changed.notify_all();
                if (!pipe.write_all(out, static_cast<long>(n))) {
                    std::lock_guard<std::mutex> lock(mutex);
                    over = true;
                    pending.clear();
                    changed.notify_all();
                    return;
                }
            }
        });

        unsigned char in[BlockProtocol::max_data_len];
        for (;;) {
            long n = pipe.read_some(in, sizeof in);
            if (n < 0) break;
            std::unique_lock<std::mutex> lock(mutex);
            // A full buffer waits for the host to read, in short steps so
            // that the end of the pipe is noticed.
            while (!over && pending.size() + static_cast<std::size_t>(n) > kCapacity && !pipe.finished())
                changed.wait_for(lock, std::chrono::milliseconds(50));
            if (over) break;
            pending.insert(pending.end(), in, in + n);
            changed.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            over = true;
            // Whatever the host did not read goes with the pipe.
            pending.clear();
        }
        changed.notify_all();
        writer.join();
    };
}

DeviceProgram sink_program(std::shared_ptr<SinkTally> tally) {
    return [tally = std::move(tally)](DevicePipe& pipe) {
        unsigned char buf[BlockProtocol::max_data_len];
        for (;;) {
            long n = pipe.read_some(buf, sizeof buf);
            if (n < 0) return;
            if (n > 0 && tally) tally->add(buf, static_cast<std::size_t>(n));
        }
    };
}

DeviceProgram source_program(std::uint64_t length) {
    return [length](DevicePipe& pipe) {
        unsigned char buf[BlockProtocol::max_data_len];
        std::uint64_t offset = 0;
        while (length == 0 || offset < length) {
            std::uint64_t n = sizeof buf;
            if (length != 0 && length - offset < n) n = length - offset;
            for (std::uint64_t i = 0; i < n; ++i) buf[i] = source_pattern(offset + i);
            if (!pipe.write_all(buf, static_cast<long>(n))) return;
            offset += n;
        }
        // Done: stay with the pipe until the host lets it go, so the next
        // pipe with this number starts the pattern afresh.
        unsigned char scratch[BlockProtocol::max_data_len];
        while (pipe.read_some(scratch, sizeof scratch) >= 0) {
        }
    };
}

}  // namespace zorbel
