// What the engine does for its channels when the transport below it ends, or
// comes back after it had to reopen the device.
#include "zorbel/block.h"
#include "zorbel/channel.h"

// Table writes happen under protocol_critical, and a channel leaves the table
// first thing in its destructor; holding the lock for the walk therefore
// keeps every channel found alive until its flag is set.
void BlockDriver::wake_channels() {
    std::lock_guard<std::recursive_mutex> critical(protocol_critical);
    for (auto& slot : channels)
        if (FormalChannel* ch = slot.load(std::memory_order_acquire)) ch->flag.set(true);
}

// A device that had to be reopened went through a reset or re-enumeration:
// its channels start again from block 0 and know nothing of the requests
// they made before. The host's side does the same so both meet again. Bytes
// the streams hold are kept: an output block that waits for its request
// leaves as block 0, and an input's unread bytes stay readable. A block half
// received from the device's old session is forgotten.
void BlockDriver::restart_channels() {
    std::lock_guard<std::mutex> dispatch(dispatch_mutex);
    std::lock_guard<std::recursive_mutex> critical(protocol_critical);
    reset_receiver();
    for (auto& slot : channels) {
        FormalChannel* ch = slot.load(std::memory_order_acquire);
        if (!ch) continue;
        ch->expected_block.store(0);
        ch->queue_count = 0;
        ch->flag.clear();
    }
}
