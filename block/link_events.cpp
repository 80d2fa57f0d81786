// What the engine does for its channels when the transport below it ends, or
// comes back after it had to reopen the device.
#include "support/critical_section.h"
#include "zorbel/block.h"
#include "zorbel/channel.h"

// Table writes happen under protocol_critical, and a channel leaves the table
// first thing in its destructor; holding the lock for the walk therefore
// keeps every channel found alive until its flag is set.
void BlockDriver::wake_channels() {
    zorbel::detail::CriticalLock critical;
    for (auto& slot : channels)
        if (FormalChannel* ch = slot.load(std::memory_order_acquire)) ch->flag.set(true);
}

// A device reopened after a failed read is the same device with the same
// channels (a device that restarted says so with cmd_reset, which re-
// initialises a channel when it arrives). Numbers, queues and bytes are left
// as they are: starting the host's side from block 0 would make every channel
// ask for, and send, numbers that the device takes as stale. What was in
// flight when the read failed may be lost; waking each channel makes a stream
// that waits ask again now, instead of after its request interval. Only a
// block half received on the old handle is forgotten. Raising a flag never
// hands a stream a block: a stream takes the receive buffer only when the
// received number is the one it expects, and the receiver stores that number
// only for a complete block.
void BlockDriver::resume_channels() {
    zorbel::detail::CriticalLock critical;
    reset_receiver();
    for (auto& slot : channels)
        if (FormalChannel* ch = slot.load(std::memory_order_acquire)) ch->flag.set(true);
}
