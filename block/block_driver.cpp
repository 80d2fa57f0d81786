// BlockDriver as a whole: construction, the table of channel slots, link state
// and statistics. Sending is in block_sender.cpp, receiving in
// block_receiver.cpp.
//
// Lock order, everywhere two or more are held:
//   dispatch_mutex -> receive_mutex -> protocol_critical
// (output_mutex is taken alone). A thread that holds protocol_critical must
// therefore never attach or detach a channel: the table change waits for
// dispatch_mutex, and a chunk being delivered under it may be waiting for
// protocol_critical to queue a command.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "support/clock.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

BlockDriver::BlockDriver(const char*, FormalSeqDriver* driver)
    : link_check(true),
      connected(false),
      bytes_out(0),
      bytes_in(0),
      stat_start(zorbel::detail::clock_ms()),
      seq_driver(driver),
      last_rx_time(0),
      last_tx_time(0),
      channels_locked(false),
      rx_state(1),
      rx_header{},
      rx_count(0),
      rx_length(0),
      rx_command{},
      rx_dest(nullptr),
      rx_chunk(nullptr),
      rx_chunk_len(0),
      rx_chunk_pos(0),
      rx_crc(0xFFFFFFFFu),
      rx_crc_received(0),
      rx_channel(nullptr) {
    for (auto& slot : channels) slot.store(nullptr, std::memory_order_relaxed);
}

// Channels are expected to be gone by now; the engine owns neither them nor
// the transport.
BlockDriver::~BlockDriver() = default;

// --- channel table -------------------------------------------------------

bool BlockDriver::lock_channels() {
    channels_locked.store(true);
    return true;
}

bool BlockDriver::unlock_channels() {
    channels_locked.store(false);
    return true;
}

bool BlockDriver::attach_channel(FormalChannel* ch) { return change_slot(ch, true); }

bool BlockDriver::deattach_channel(FormalChannel* ch) { return change_slot(ch, false); }

// Raising channels_locked makes new chunks bounce; taking dispatch_mutex then
// waits for a chunk already being delivered, so once the slot is written no
// delivery can still be writing into the channel that left it. If that channel
// was the one a block in progress was addressed to, the receiver forgets the
// block: a channel that takes the number next must not receive the tail of a
// payload whose head went into another object's buffer.
bool BlockDriver::change_slot(FormalChannel* ch, bool attach) {
    if (ch == nullptr) return false;
    bool ok = false;
    lock_channels();
    {
        std::lock_guard<std::mutex> dispatch(dispatch_mutex);
        std::lock_guard<std::mutex> receive(receive_mutex);
        std::lock_guard<std::recursive_mutex> critical(protocol_critical);
        unsigned short n = ch->get_id();
        if (proper_channel(n)) {
            FormalChannel* old = channels[n].exchange(attach ? ch : nullptr);
            if (rx_channel != nullptr && (rx_channel == old || rx_channel == ch)) reset_receiver();
            ok = true;
        }
    }
    unlock_channels();
    return ok;
}

bool BlockDriver::proper_channel(unsigned short n) { return n < 256; }

// The number is taken as its low 16 bits, as attach_channel takes a channel id.
bool BlockDriver::channel_registered(int n) { return get_channel(n) != nullptr; }

FormalChannel* BlockDriver::get_channel(int n) {
    auto id = static_cast<unsigned short>(n);
    if (!proper_channel(id)) return nullptr;
    return channels[id].load(std::memory_order_acquire);
}

unsigned long BlockDriver::total_channels() { return 256; }

// --- link state ----------------------------------------------------------

bool BlockDriver::is_hardware_connected() { return link_check.load() ? connected.load() : true; }

bool BlockDriver::is_finished() { return seq_driver == nullptr || seq_driver->is_finished(); }

FormalSeqDriver* BlockDriver::get_seq_driver() { return seq_driver; }

// --- statistics ----------------------------------------------------------

void BlockDriver::start_statistics() {
    bytes_in.store(0);
    bytes_out.store(0);
    stat_start.store(zorbel::detail::clock_ms());
}

// In 64 bits: a 32-bit product of bytes and 1000 would wrap once an interval
// carries more than about 4.29 million bytes.
void BlockDriver::get_statistics(long& in_rate, long& out_rate) {
    std::uint64_t elapsed =
        static_cast<std::uint32_t>(zorbel::detail::clock_ms() - stat_start.load()) + std::uint64_t{1};
    auto rate = [elapsed](std::uint32_t bytes) {
        std::uint64_t r = std::uint64_t{bytes} * 1000u / elapsed;
        return static_cast<long>(std::min<std::uint64_t>(r, static_cast<std::uint64_t>(LONG_MAX)));
    };
    in_rate = rate(bytes_in.load());
    out_rate = rate(bytes_out.load());
    start_statistics();
}
