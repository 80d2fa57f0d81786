// BlockDriver as a whole: construction, the table of channel slots, link state
// and statistics. Sending is in block_sender.cpp, receiving in
// block_receiver.cpp.
//
// The lock order is in block/engine_state.h. The pushed receive path handles each chunk inside protocol_critical, which
// it only tries to take; a table change takes protocol_critical alone. So a
// client that holds the critical section can make and destroy channels while
// blocks arrive: the reader is refused and waits, instead of holding a lock
// that the table change needs while it waits for the critical section.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

#include "block/engine_state.h"
#include "support/clock.h"
#include "support/critical_section.h"
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
      engine(std::make_unique<zorbel::detail::BlockEngineState>()) {
    for (auto& slot : channels) slot.store(nullptr, std::memory_order_relaxed);
    table_unlocked.set(true);
}

// Channels are expected to be gone by now; the engine owns neither them nor
// the transport.
BlockDriver::~BlockDriver() = default;

// --- channel table -------------------------------------------------------

bool BlockDriver::lock_channels() {
    channels_locked.store(true);
    table_unlocked.clear();
    return true;
}

bool BlockDriver::unlock_channels() {
    channels_locked.store(false);
    table_unlocked.set(true);
    return true;
}

void BlockDriver::await_dispatch(unsigned int refusals) {
    if (channels_locked.load()) {
        // Bounded, so a transport that is being stopped looks at its own
        // state again soon even if a client never unlocks.
        table_unlocked.sys_wait_set(5);
        return;
    }
    // protocol_critical is held elsewhere: usually for the length of a queue
    // look or a table change, sometimes by a client for much longer.
    if (refusals < 32)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

bool BlockDriver::attach_channel(FormalChannel* ch) { return change_slot(ch, true); }

bool BlockDriver::deattach_channel(FormalChannel* ch) { return change_slot(ch, false); }

// The pushed path handles a whole chunk inside protocol_critical, so holding
// it here means no delivery is under way: once the slot is written nothing
// can still be writing into the channel that left it. If that channel was the
// one a block in progress was addressed to, the receiver forgets the block: a
// channel that takes the number next must not receive the tail of a payload
// whose head went into another object's buffer. The receive lock is not
// taken: the polled path hands a block over inside protocol_critical too, and
// a channel made while another thread polls must not wait for its bytes.
bool BlockDriver::change_slot(FormalChannel* ch, bool attach) {
    if (ch == nullptr) return false;
    bool ok = false;
    lock_channels();
    {
        zorbel::detail::CriticalLock critical;
        unsigned short n = ch->get_id();
        if (proper_channel(n)) {
            FormalChannel* old = channels[n].exchange(attach ? ch : nullptr);
            const FormalChannel* receiving = engine->rx.channel;
            if (receiving != nullptr && (receiving == old || receiving == ch)) reset_receiver();
            ok = true;
        }
    }
    unlock_channels();
    // A delivery that left the critical section before we took it may still
    // be waking the flag of the channel we removed; the caller frees it next.
    while (engine->deferred_wakes_pending.load() > 0) std::this_thread::yield();
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
