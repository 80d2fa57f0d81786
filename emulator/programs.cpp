// The built-in device programs and the sink's tally.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "zorbel/block.h"
#include "zorbel/emulator.h"

namespace zorbel {

struct SinkTally::State {
    mutable std::mutex mutex;
    mutable std::condition_variable grew;
    std::uint64_t bytes = 0;  // guarded by mutex
    CRC32 crc;                // guarded by mutex
};

SinkTally::SinkTally() : state(new State) {}
SinkTally::~SinkTally() = default;

std::uint64_t SinkTally::bytes() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->bytes;
}

std::uint32_t SinkTally::crc32() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->crc.get());
}

bool SinkTally::wait_for(std::uint64_t count, unsigned long timeout_ms) const {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->grew.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return state->bytes >= count; });
}

void SinkTally::add(const unsigned char* data, std::size_t count) {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->crc.update(const_cast<unsigned char*>(data), static_cast<unsigned long>(count));
        state->bytes += count;
    }
    state->grew.notify_all();
}

void SinkTally::clear() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->bytes = 0;
    state->crc.init();
}

unsigned char source_pattern(std::uint64_t k) {
    return static_cast<unsigned char>((k + 7 * (k >> 9)) & 0xFF);
}

DeviceProgram echo_program() {
    return [](DevicePipe& pipe) {
        unsigned char buf[BlockProtocol::max_data_len];
        for (;;) {
            long n = pipe.read_some(buf, sizeof buf);
            if (n < 0)
                return;
            if (n > 0 && !pipe.write_all(buf, n))
                return;
        }
    };
}

DeviceProgram sink_program(std::shared_ptr<SinkTally> tally) {
    return [tally](DevicePipe& pipe) {
        unsigned char buf[BlockProtocol::max_data_len];
        for (;;) {
            long n = pipe.read_some(buf, sizeof buf);
            if (n < 0)
                return;
            if (n > 0 && tally)
                tally->add(buf, static_cast<std::size_t>(n));
        }
    };
}

DeviceProgram source_program(std::uint64_t length) {
    return [length](DevicePipe& pipe) {
        unsigned char buf[BlockProtocol::max_data_len];
        std::uint64_t offset = 0;
        while (length == 0 || offset < length) {
            std::uint64_t n = sizeof buf;
            if (length != 0 && length - offset < n)
                n = length - offset;
            for (std::uint64_t i = 0; i < n; ++i)
                buf[i] = source_pattern(offset + i);
            if (!pipe.write_all(buf, static_cast<long>(n)))
                return;
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
