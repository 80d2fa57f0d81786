// What the engine does for its channels when the transport below it ends, or
// comes back after it had to reopen the device.
//
// The transport's reader thread asks for these, and it may ask while a client
// holds protocol_critical and waits for that very reader (a stop or a close
// inside the critical section, which joins the reader). So the reader never
// waits for the lock: it records what it wants (link_events_pending) and it
// is done by whoever holds the lock for the engine next: the reader's own
// next try, the next chunk it delivers, or the stop, which wakes every
// channel itself.
#include "block/engine_state.h"
#include "support/critical_section.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

using zorbel::detail::BlockEngineState;

// Inside protocol_critical. Table writes happen under it, and a channel leaves
// the table first thing in its destructor; holding the lock for the walk
// therefore keeps every channel found alive until its flag is set.
void BlockDriver::run_link_events() {
    zorbel::detail::critical_section.assert_held();  // every caller holds it
    const unsigned events = engine->link_events_pending.exchange(0);
    if (events == 0) return;
    if ((events & BlockEngineState::kResumePending) != 0) reset_receiver();
    for (auto& slot : channels)
        if (FormalChannel* ch = slot.load(std::memory_order_acquire)) ch->flag.set(true);
}

void BlockDriver::wake_channels() {
    engine->link_events_pending.fetch_or(BlockEngineState::kWakePending);
    zorbel::detail::CriticalLock critical;
    run_link_events();
}

bool BlockDriver::post_wake_channels() {
    engine->link_events_pending.fetch_or(BlockEngineState::kWakePending);
    return settle_link_events();
}

// A device reopened after a failed read is the same device with the same
// channels (a device that restarted says so with cmd_reset, which re-
// initialises a channel when it arrives). Numbers, queues and bytes are left
// as they are: starting the host's side from block 0 would make every channel
// ask for, and send, numbers that the device takes as stale. What was in
// flight when the read failed may be lost; waking each channel makes a stream
// that waits ask again now, instead of after its request interval. Only a
// block half received on the old handle is forgotten; done later, it is
// still done before the first chunk from the new handle is looked at, since
// a delivery carries out what is pending first. Raising a flag never hands a
// stream a block: a stream takes the receive buffer only when the received
// number is the one it expects, and the receiver stores that number only for
// a complete block.
bool BlockDriver::resume_channels() {
    engine->link_events_pending.fetch_or(BlockEngineState::kResumePending);
    return settle_link_events();
}

bool BlockDriver::settle_link_events() {
    if (engine->link_events_pending.load() == 0) return true;
    std::unique_lock<std::recursive_mutex> lock(protocol_critical, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    zorbel::detail::critical_section.assert_held();
    run_link_events();
    return true;
}
