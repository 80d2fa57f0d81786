// What one block engine keeps behind its public class: its two mutexes and the
// pushed receiver's state between chunks, with the rules for each written
// where the compiler checks them.
//
// Lock order, everywhere two or more are held:
//   receive_mutex -> protocol_critical -> output_mutex
// The pushed receiver holds protocol_critical alone (and only ever tries to
// take it); the polled path pulls a whole block under its receive mutex and
// takes protocol_critical only to hand the block over; out_block takes the
// output mutex last, as a channel's destructor sends cmd_delete inside the
// critical section when its client holds it.
#ifndef ZORBEL_BLOCK_ENGINE_STATE_H
#define ZORBEL_BLOCK_ENGINE_STATE_H

#include <atomic>
#include <cstdint>

#include "support/critical_section.h"
#include "support/mutex.h"
#include "support/thread_annotations.h"

class FormalChannel;

namespace zorbel {
namespace detail {

// The pushed receiver's resumable state (block_receiver.cpp): a block may
// arrive in any number of chunks, so everything about the one under way is
// kept here from one chunk to the next.
struct PushedReceiveState {
    // 1 = synchronisation and header, 2 = payload, 3 = CRC.
    std::uint8_t state = 1;
    // Type, channel, block number, length high and low byte.
    unsigned char header[5] = {};
    // State 1: synchronisation and header bytes seen (0 to 6); state 2:
    // payload bytes stored; state 3: CRC bytes seen.
    std::uint32_t count = 0;
    std::uint32_t length = 0;
    // Where a command block's payload goes.
    unsigned char command[4] = {};
    // Where the payload goes: the channel's receive buffer or `command`.
    unsigned char* dest = nullptr;
    // The chunk being handled; null when no dispatch is under way.
    unsigned char* chunk = nullptr;
    std::uint32_t chunk_len = 0;
    std::uint32_t chunk_pos = 0;
    // The running CRC register; 0xFFFFFFFF when idle.
    std::uint32_t crc = 0xFFFFFFFFu;
    // The CRC as assembled from the four bytes on the wire.
    std::uint32_t crc_received = 0;
    // The channel of the block under way, as last looked up.
    FormalChannel* channel = nullptr;
};

class BlockEngineState {
public:
    // Serialises the polled path: one caller pulls one whole block at a time.
    Mutex receive_mutex ACQUIRED_BEFORE(critical_section);
    // Held from a block's first synchronisation byte to the end of its flush,
    // so that blocks never interleave on the transport.
    Mutex output_mutex ACQUIRED_AFTER(critical_section);
    // Touched only inside protocol_critical: the pushed path handles a whole
    // chunk there, and table changes, which may forget the block under way,
    // take it too.
    PushedReceiveState rx GUARDED_BY(critical_section);
    // Pushed deliveries that have left protocol_critical and are still waking
    // the streams whose flags they set (see DeferredWakes). Raised inside the
    // critical section, so a table change, which takes it, sees every
    // delivery that could still touch a channel's flag, and waits for them
    // before the channel it removed may go.
    std::atomic<int> deferred_wakes_pending{0};
    // What the transport asked of the channels (link_events.cpp) and is not
    // done yet: set by any thread, carried out inside protocol_critical by
    // whoever takes it next for the engine. A transport's reader only ever
    // tries to take the critical section, so what it cannot do at once waits
    // here instead of being lost.
    static constexpr unsigned kWakePending = 1;    // set every channel's flag
    static constexpr unsigned kResumePending = 2;  // forget the half block, then wake
    std::atomic<unsigned> link_events_pending{0};
};

}  // namespace detail
}  // namespace zorbel

#endif
