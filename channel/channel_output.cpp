// The sending end of a channel. Bytes gather in the 512-byte buffer; flush()
// sends them as one block each time the peer asks for that block number, and
// counts the block delivered once the peer asks for the next number (or
// acknowledges this one). The peer's requests arrive in the channel's queue.
#include <algorithm>
#include <cstring>

#include "channel/stream_failure.h"
#include "support/clock.h"
#include "support/log.h"
#include "zorbel/channel.h"

namespace {

constexpr std::int64_t kNoLimitMs = 0x7FFFFFFF;

}  // namespace

ChannelOutput::ChannelOutput(BlockDriver* driver, unsigned char id) : FormalChannel(driver, id, &flags) {
    init();
}

// Leaves the table first, so no command is queued into a channel whose
// destruction has begun. Buffered bytes are dropped, not sent.
ChannelOutput::~ChannelOutput() { unregister(); }

void ChannelOutput::init() {
    FormalChannel::init();
    position.store(0);
    length.store(0);
}

int ChannelOutput::update_state(int state) {
    flags.store(state);
    return state;
}

int ChannelOutput::return_state() { return flags.load(); }

long ChannelOutput::can_put_bytes() { return static_cast<long>(buffer_size) - position.load(); }

// A block that has gone to the peer is not added to: the peer may hold it as
// it was sent, and its confirmation would count the added bytes delivered
// too. Such a block is settled by a flush first (this happens only after a
// flush failed).
long ChannelOutput::write(const unsigned char* data, long count) {
    if (count <= 0) return 0;
    long taken = 0;
    for (;;) {
        if (block_sent.load() && !flush()) return taken;
        const std::int32_t pos = position.load();
        const long chunk = std::min<long>(static_cast<long>(buffer_size) - pos, count - taken);
        if (chunk > 0) {
            std::memcpy(buffer + pos, data + taken, static_cast<std::size_t>(chunk));
            position.store(pos + static_cast<std::int32_t>(chunk));
            length.store(pos + static_cast<std::int32_t>(chunk));
            taken += chunk;
        }
        if (taken == count) return count;
        // Bytes in the buffer belong to the stream and leave with the next
        // successful flush, so they count as written: a caller that writes
        // the rest again must not send them twice. So do the bytes of the
        // rest that the delivering thread sent while the flush waited.
        long rest_sent = 0;
        const bool flushed = flush_offering(data + taken, count - taken, rest_sent);
        taken += rest_sent;
        if (!flushed) return taken;
    }
}

int ChannelOutput::write_byte(int c) {
    if (block_sent.load() && !flush()) return 0;
    if (position.load() >= static_cast<std::int32_t>(buffer_size) && !flush()) return 0;
    const std::int32_t pos = position.load();
    buffer[pos] = static_cast<unsigned char>(c & 0xFF);
    position.store(pos + 1);
    length.store(pos + 1);
    return 1;
}

bool ChannelOutput::write_word(unsigned short w) {
    return write_byte(w >> 8) != 0 && write_byte(w & 0xFF) != 0;
}

bool ChannelOutput::write_dword(unsigned long d) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (write_byte(static_cast<int>((d >> shift) & 0xFF)) == 0) return false;
    }
    return true;
}

long ChannelOutput::write_string(char* s) {
    return write(reinterpret_cast<const unsigned char*>(s), static_cast<long>(std::strlen(s)) + 1);
}

// Each pass looks at the queue inside protocol_critical, where the receiver
// appends to it and a peer's cmd_reset re-initialises the channel, and acts on
// what it finds there: a confirmation advances the block number and empties
// the buffer in that same step, so a reset that lands afterwards is not
// overwritten. With nothing to act on, it clears the flag and only then looks
// at the state, the link and the shutdown switch before it waits: a wake-up
// (stop, the peer's cmd_delete) that came before the clear is seen by that
// look, one that comes after it by the wait. A raised flag with an empty queue
// (a wake-up left from an earlier stop) is therefore no failure.
bool ChannelOutput::flush() {
    long rest_sent = 0;
    return flush_offering(nullptr, 0, rest_sent);
}

// While it waits for the confirmation of a block it sent, the flush offers
// the rest of the write (if a whole block more is there) to the delivering
// thread, which may then confirm that block and send the following ones
// without waking it (FormalChannel::send_offered_block). After the wait it
// withdraws the offer, and what it finds is the state those sends left: the
// last of them is the block it now waits for.
bool ChannelOutput::flush_offering(const unsigned char* rest, long count, long& rest_sent) {
    if (length.load() == 0) return true;
    if (state_is_bad() || block_driver == nullptr || block_driver->is_finished())
        return zorbel::detail::stream_failed(block_driver, state_is_bad());
    const long timeout = get_timeout();
    // The budget is spent by measured waiting; 0 (or a nonsensical negative
    // value) means no limit.
    const bool limited = timeout > 0;
    const std::int64_t full_budget = limited ? std::min<std::int64_t>(timeout, kNoLimitMs) : kNoLimitMs;
    std::int64_t budget = full_budget;
    for (;;) {
        if (state_is_bad()) {
            flag.clear();
            return zorbel::detail::stream_failed(block_driver, true);
        }
        bool send = false;
        bool again = false;  // the device asked for a block it was sent already
        bool delivered = false;
        unsigned char number = 0;
        std::int32_t size = 0;
        {
            Critical critical;
            while (queue_count > 0 && !send && !delivered) {
                const QueueEntry& oldest = queue[(queue_head + queue_size - queue_count) % queue_size];
                const auto n = static_cast<unsigned char>(oldest.block_no);
                const int command = oldest.command;
                const unsigned char current = expected_block.load();
                const auto following = static_cast<unsigned char>(current + 1);
                const bool sent = block_sent.load();
                if (command == BlockProtocol::cmd_next_block && n == current) {
                    // Every request for the current number sends it again; a
                    // failed send is made good by the peer's next request.
                    --queue_count;
                    send = true;
                    again = sent;
                    number = current;
                    size = length.load();
                    block_sent.store(true);
                } else if (sent && command == BlockProtocol::cmd_next_block && n == following) {
                    // Confirms the block and stays queued: it is the next
                    // flush's request for its own block, which then goes out
                    // at once.
                    delivered = true;
                } else if (sent && command == BlockProtocol::cmd_block_ack && n == current) {
                    --queue_count;
                    delivered = true;
                } else {
                    --queue_count;  // stale, or about a block this channel never sent
                }
                if (delivered) {
                    expected_block.store(following);
                    position.store(0);
                    length.store(0);
                    block_sent.store(false);
                }
            }
            if (queue_count == 0) flag.clear();
        }
        if (delivered) return true;
        if (send) {
            if (again)
                ZORBEL_LOG_LIMITED(zorbel::LogLevel::debug,
                                   "sent block " << static_cast<int>(number) << " again on channel "
                                                 << static_cast<int>(id) << " (" << zorbel_log_events
                                                 << " repeats so far)");
            block_driver->out_block(id, number, BlockProtocol::blk_data, buffer,
                                    static_cast<unsigned short>(size));
            continue;
        }
        if (state_is_bad() || block_driver->is_finished() || Synchro::is_finished() || budget <= 0)
            return zorbel::detail::stream_failed(block_driver, state_is_bad());
        const bool offer =
            rest != nullptr && block_sent.load() && count - rest_sent > static_cast<long>(buffer_size);
        if (offer) {
            Critical critical;
            write_rest = WriteRest{rest, count, rest_sent, limited, 0};
        }
        // Without a time-out nothing is measured: the wait reads no clock
        // either, so a round trip without time-outs keeps no time at all.
        const std::uint32_t before = limited ? zorbel::detail::clock_ms() : 0;
        const bool woken = flag.wait_set(static_cast<unsigned long>(budget));
        bool sent_for_us = false;
        std::uint32_t last_send_ms = 0;
        if (offer) {
            Critical critical;
            sent_for_us = write_rest.sent != rest_sent;
            rest_sent = write_rest.sent;
            last_send_ms = write_rest.last_send_ms;
            write_rest.bytes = nullptr;
        }
        if (!limited) {
            if (!woken) return zorbel::detail::stream_failed(block_driver, state_is_bad());
            continue;
        }
        // The limit runs from the sending of the block waited for, as it
        // would in the writer's own flush of a block the delivery sent.
        const std::uint32_t now = zorbel::detail::clock_ms();
        budget = sent_for_us ? full_budget - static_cast<std::uint32_t>(now - last_send_ms)
                             : budget - static_cast<std::uint32_t>(now - before);
        if (!woken && budget <= 0) return zorbel::detail::stream_failed(block_driver, state_is_bad());
    }
}

long ChannelOutput::seekp(long, seek_t) { return -1; }
long ChannelOutput::tellp() { return -1; }
long ChannelOutput::get_size() { return -1; }
