// The receiving side of BlockDriver.
//
// Bytes arrive chopped and merged on any boundaries: a USB read ends wherever
// the transfer ended, so one chunk may hold the tail of one block, two whole
// blocks and the head of a fourth. The pushed path is therefore a state
// machine whose whole state lives in the engine (rx_*), resumed by every chunk:
//
//   state 1  hunt for 0x4D 0x4D, then take the five header bytes
//   state 2  copy the payload straight into its destination
//   state 3  take the four CRC bytes; deliver or drop the block; back to 1
//
// Nothing here reaches a channel through a virtual call: the reader thread may
// meet a channel whose constructor or destructor is running on another thread,
// where the virtual table pointer is being rewritten.
#include <algorithm>
#include <cstring>

#include "block/crc32_fast.h"
#include "block/engine_state.h"
#include "support/clock.h"
#include "support/critical_section.h"
#include "support/deferred_wakes.h"
#include "support/log.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

namespace {

constexpr unsigned char kSync = 0x4D;
constexpr std::uint32_t kAliveIntervalMs = 2000;
constexpr std::uint32_t kLinkSilenceMs = 5000;

// The register after 0xFFFFFFFF has taken the synchronisation pair; every
// block's CRC starts here.
constexpr std::uint32_t crc_step(std::uint32_t reg, unsigned char b) {
    reg ^= b;
    for (int i = 0; i < 8; ++i) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}
constexpr std::uint32_t kCrcAfterSync = crc_step(crc_step(0xFFFFFFFFu, kSync), kSync);

inline std::uint32_t crc_bytes(std::uint32_t reg, const unsigned char* p, unsigned int n) {
    for (unsigned int i = 0; i < n; ++i) reg = CRC32::table[(reg ^ p[i]) & 0xFFu] ^ (reg >> 8);
    return reg;
}

}  // namespace

// --- pushed path ---------------------------------------------------------

// The whole chunk is handled inside protocol_critical, so a table change
// (which takes it) waits for this delivery to end, and commands are queued
// without taking it again. try_lock, not lock: the holder may be a client that
// is waiting for this reader (a stop, a join), so the reader must not block
// behind it; it gets false, and hands the same chunk in again after
// await_dispatch.
//
// The streams whose flags the chunk sets are woken only after the critical
// section has been left: woken inside it, each would run into it at once and
// sleep a second time. Until those wake-ups are done, a table change waits
// (deferred_wakes_pending), so no flag is touched after its channel has gone.
bool BlockDriver::dispatch_block_callback(unsigned char* data, unsigned int len) {
    if (channels_locked.load()) return false;
    zorbel::detail::DeferredWakes wakes;
    std::atomic<int>& pending = engine->deferred_wakes_pending;
    std::unique_lock<std::recursive_mutex> lock(protocol_critical, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const bool delivered = [&] {
        zorbel::detail::critical_section.assert_held();
        zorbel::detail::PushedReceiveState& rx = engine->rx;
        // A chunk under way on this thread: a channel's code, reached from this
        // delivery, handed bytes in again.
        if (channels_locked.load() || rx.chunk != nullptr) return false;
        // What the transport asked for before this chunk came (a resumption
        // forgets a half block: before the new bytes are looked at).
        run_link_events();
        // A null chunk has nothing to consume; refusing it would only make the
        // reader hand it in again.
        if (data == nullptr) return true;
        rx.chunk = data;
        rx.chunk_len = len;
        rx.chunk_pos = 0;
        while (rx.chunk_pos < rx.chunk_len) {
            switch (rx.state) {
                case 1:
                    dispatch_state_1();
                    break;
                case 2:
                    dispatch_state_2();
                    break;
                default:
                    dispatch_state_3();
                    break;
            }
        }
        rx.chunk = nullptr;
        rx.chunk_len = 0;
        rx.chunk_pos = 0;
        return true;
    }();
    if (wakes.empty()) return delivered;
    pending.fetch_add(1);
    lock.unlock();
    wakes.wake_all();
    pending.fetch_sub(1);
    return delivered;
}

void BlockDriver::reset_receiver() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    rx.state = 1;
    rx.count = 0;
    rx.length = 0;
    rx.crc = 0xFFFFFFFFu;
    rx.dest = nullptr;
    rx.channel = nullptr;
}

void BlockDriver::dispatch_state_1() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    const unsigned char* chunk = rx.chunk;
    std::uint32_t pos = rx.chunk_pos;
    const std::uint32_t end = rx.chunk_len;
    while (pos < end) {
        if (rx.count == 0) {
            // Hunting: skip noise in one sweep.
            const void* hit = std::memchr(chunk + pos, kSync, end - pos);
            if (hit == nullptr) {
                pos = end;
                break;
            }
            pos = static_cast<std::uint32_t>(static_cast<const unsigned char*>(hit) - chunk) + 1;
            rx.count = 1;
            continue;
        }
        unsigned char b = chunk[pos++];
        if (rx.count == 1) {
            if (b != kSync) {
                rx.count = 0;
                continue;
            }
            rx.count = 2;
            rx.crc = kCrcAfterSync;
            if (link_check.load(std::memory_order_relaxed)) {
                last_rx_time.store(zorbel::detail::clock_ms());
                connected.store(true);
            }
            continue;
        }
        // Whatever follows the pair is the header, a third 0x4D included.
        rx.header[rx.count - 2] = b;
        if (rx.count == 2 && end - pos >= 4) {  // the rest of the header is here: take it at once
            std::memcpy(rx.header + 1, chunk + pos, 4);
            pos += 4;
            rx.count = 6;
        }
        if (++rx.count == 7) {
            rx.crc = crc_bytes(rx.crc, rx.header, sizeof rx.header);
            rx.count = 0;
            rx.state = 2;
            rx.chunk_pos = pos;
            decode_header();
            return;
        }
    }
    rx.chunk_pos = pos;
}

// The channel byte is always a proper number, so the receive paths read the
// slot directly instead of going through get_channel's range check.
void BlockDriver::decode_header() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    FormalChannel* ch = channels[rx.header[1]].load(std::memory_order_acquire);
    std::uint32_t length = (std::uint32_t{rx.header[3]} << 8) | rx.header[4];
    std::uint32_t limit = 0;
    bool ok = ch != nullptr;
    if (ok && rx.header[0] == blk_data) {
        // A channel whose flag is set still owns its last block; writing into
        // its receive buffer now would race with the stream taking it (unless
        // the block was taken for the stream already).
        ok = ch->receive_buffer_free() && !ch->state_is_bad();
        // Only then is the pointer settled: the stream swaps it while the
        // flag is set.
        rx.dest = ok ? ch->receive_buffer : nullptr;
        limit = max_data_len;
    } else if (ok && rx.header[0] == blk_command) {
        std::memset(rx.command, 0, sizeof rx.command);  // a short command reads as code 0
        rx.dest = rx.command;
        limit = command_len;
    } else {
        ok = false;  // keep-alive and unknown types included
    }
    if (!ok || length > limit) {
        reset_receiver();
        return;
    }
    rx.channel = ch;
    rx.length = length;
}

void BlockDriver::dispatch_state_2() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    // The slot must still hold the very channel the header was checked
    // against; a replacement gets nothing written into its buffer.
    if (channels[rx.header[1]].load(std::memory_order_acquire) != rx.channel) {
        reset_receiver();
        return;
    }
    std::uint32_t needed = rx.length - rx.count;
    std::uint32_t available = rx.chunk_len - rx.chunk_pos;
    std::uint32_t n = std::min(needed, available);
    unsigned char* dest = rx.dest + rx.count;
    if (n > 0) {
        std::memcpy(dest, rx.chunk + rx.chunk_pos, n);
        rx.crc = zorbel::detail::crc32_update(rx.crc, dest, n);
        rx.chunk_pos += n;
    }
    if (available >= needed) {
        rx.count = 0;
        rx.crc_received = 0;
        rx.state = 3;
    } else {
        rx.count += n;
    }
}

void BlockDriver::dispatch_state_3() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    if (rx.count == 0 && rx.chunk_len - rx.chunk_pos >= 4) {  // the whole CRC is here
        const unsigned char* p = rx.chunk + rx.chunk_pos;
        rx.crc_received =
            (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        rx.chunk_pos += 4;
        rx.count = 4;
    }
    while (rx.chunk_pos < rx.chunk_len && rx.count < 4) {
        rx.crc_received |= std::uint32_t{rx.chunk[rx.chunk_pos++]} << (24 - 8 * rx.count);
        ++rx.count;
    }
    if (rx.count < 4) return;
    if (~rx.crc == rx.crc_received) {
        updata_channels();
    } else {
        // The sender repeats it. Logged only when the log is on, and at most
        // a line a second: a link that corrupts data drops them by the thousand.
        ZORBEL_LOG_LIMITED(zorbel::LogLevel::debug, "dropped a received block whose CRC-32 did not match ("
                                                        << zorbel_log_events
                                                        << " so far); the sender repeats it");
    }
    reset_receiver();
}

void BlockDriver::updata_channels() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    zorbel::detail::PushedReceiveState& rx = engine->rx;
    FormalChannel* ch = channels[rx.header[1]].load(std::memory_order_acquire);
    if (ch == nullptr || ch != rx.channel) return;
    deliver(ch, rx.header, rx.dest, rx.length);
}

// Data: the payload is already in the receive buffer; the received length and
// then the number are stored before the flag is set (a stream that sees the
// number it expects reads the length after it), and the flag's setting orders
// them for the stream that wakes up. Commands touch the queue and the state;
// the caller holds protocol_critical, where the output stream looks at them.
//
// An input stream asleep for exactly this block may have offered to let the
// delivery take it: the request for the next block then leaves from here, at
// once, rather than after the stream has woken up, and the flag only wakes the
// stream to find the block in its buffer. Likewise an output stream asleep for
// the confirmation of its block, with more bytes of a write() to go, may have
// offered them: the peer's request for the next block then sends it from here.
// Both send inside the critical section, where the stream withdraws its offer,
// so what they send is on the wire before anything the stream sends
// afterwards.
// Only over a transport whose flush never waits for the peer: this thread is
// the one that reads, and a peer that reads only after being read from would
// leave it blocked for good.
bool BlockDriver::delivery_may_send() {
    return seq_driver != nullptr && !Synchro::is_finished() && !seq_driver->flush_waits_for_peer();
}

void BlockDriver::deliver(FormalChannel* ch, const unsigned char* header, const unsigned char* payload,
                          unsigned int len) {
    if (header[0] == blk_data) {
        ch->received_length.store(static_cast<std::int32_t>(len));
        ch->received_block.store(header[2]);
        if (!ch->is_correct_blk(header[2])) return;
        if (ch->take_offer.load() == FormalChannel::take_offered && delivery_may_send())
            ch->take_offered_block();
        ch->flag.set(true);
        return;
    }
    const int code = payload[0];
    const unsigned char arg = payload[1];
    if (code == cmd_reset) {
        ch->init();
        return;
    }
    if (ch->state_is_bad()) return;
    if (code == cmd_delete) {
        ch->set_state_value(1);
        ch->flag.set(true);
    } else if (code == cmd_next_block || code == cmd_block_ack) {
        if (code == cmd_next_block && ch->write_rest.bytes != nullptr && delivery_may_send() &&
            ch->send_offered_block(arg))
            return;
        if (ch->queue_count >= FormalChannel::queue_size) return;  // full: dropped
        ch->queue[ch->queue_head] = FormalChannel::QueueEntry{arg, code};
        ch->queue_head = static_cast<unsigned short>((ch->queue_head + 1) % FormalChannel::queue_size);
        ++ch->queue_count;
        ch->flag.set(true);
    }
}

// --- polled path ---------------------------------------------------------

bool BlockDriver::dispatch_block() {
    if (seq_driver == nullptr) return false;
    if (link_check.load()) {
        std::uint32_t now = zorbel::detail::clock_ms();
        if (now - last_tx_time.load() > kAliveIntervalMs) {
            out_block(0, 0, blk_alive, nullptr, 0);
            last_tx_time.store(zorbel::detail::clock_ms());
        }
        if (now - last_rx_time.load() > kLinkSilenceMs) connected.store(false);
    }

    // Held for the whole block, from hunting for the synchronisation pair to
    // the hand-over: two threads polling one engine would otherwise each take
    // part of the other's bytes.
    zorbel::detail::MutexLock receive(engine->receive_mutex);
    int pairs = 0;
    while (pairs < 2) {
        int c = get_byte();
        if (c < 0) return false;
        pairs = c == kSync ? pairs + 1 : 0;
    }
    if (link_check.load()) {
        last_rx_time.store(zorbel::detail::clock_ms());
        connected.store(true);
    }

    CRC32 crc;
    crc.update(kSync);
    crc.update(kSync);
    int type = get_byte(crc);
    int channel = get_byte(crc);
    int block_no = get_byte(crc);
    unsigned int length = get_word(crc);
    if ((type != blk_data && type != blk_command) || length > max_data_len) return false;
    if (type == blk_command && length > command_len) return false;

    // The bytes are pulled into a block of our own: pulling may wait for each
    // byte, and no channel may be written into outside protocol_critical, which
    // is not held while waiting. The copy costs the polled path alone.
    bytes_in.fetch_add(length + 9u, std::memory_order_relaxed);
    unsigned char payload[max_data_len] = {0, 0, 0, 0};
    for (unsigned int i = 0; i < length; ++i) payload[i] = static_cast<unsigned char>(get_byte(crc) & 0xFF);
    unsigned long received = get_dword();
    if (received != crc.get()) return false;
    const unsigned char header[5] = {static_cast<unsigned char>(type), static_cast<unsigned char>(channel),
                                     static_cast<unsigned char>(block_no),
                                     static_cast<unsigned char>(length >> 8),
                                     static_cast<unsigned char>(length & 0xFF)};

    zorbel::detail::CriticalLock critical;
    FormalChannel* ch = get_channel(channel);
    if (ch == nullptr) return false;
    if (type == blk_data) {
        if (!ch->receive_buffer_free() || ch->state_is_bad()) return false;
        std::memcpy(ch->receive_buffer, payload, length);
        deliver(ch, header, ch->receive_buffer, length);
    } else {
        deliver(ch, header, payload, length);
    }
    return true;
}
