#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "support/clock.h"
#include "zorbel/channel.h"

// A bare channel has no state word of its own: it is never bad.
FormalChannel::FormalChannel(BlockDriver* driver, unsigned char id) : FormalChannel(driver, id, nullptr) {}

FormalChannel::FormalChannel(BlockDriver* driver, unsigned char id, std::atomic<int>* state_word)
    : buffer(nullptr),
      id(id),
      expected_block(0),
      queue_head(0),
      queue_count(0),
      queue{},
      received_block(0),
      block_driver(nullptr),
      position(0),
      length(0),
      receive_buffer(nullptr),
      received_length(0),
      block_sent(false),
      take_offer(take_none),
      write_rest{nullptr, 0, 0, false, 0},
      state_word(state_word),
      registered(false) {
    construct(driver, id);
}

// Registration comes last: from the moment the slot is written the reader
// thread may deliver into this channel, so everything it touches must be set.
// A channel whose buffers could not be had stays off the table for good.
void FormalChannel::construct(BlockDriver* driver, unsigned char channel_id) {
    buffer = new (std::nothrow) unsigned char[buffer_size]();
    receive_buffer = new (std::nothrow) unsigned char[buffer_size]();
    init();
    id = channel_id;
    if (buffer == nullptr || receive_buffer == nullptr) return;
    block_driver = driver;
    if (driver != nullptr) registered.store(driver->attach_channel(this));
}

FormalChannel::~FormalChannel() {
    unregister();
    delete[] receive_buffer;
    delete[] buffer;
}

void FormalChannel::unregister() {
    if (!registered.exchange(false)) return;
    delete_notification(1, 100);
    // Waits for a delivery into this channel that is under way; none starts
    // afterwards.
    block_driver->deattach_channel(this);
}

unsigned short FormalChannel::get_id() { return id; }

bool FormalChannel::is_correct_blk(int n) { return n >= 0 && n <= 255 && n == expected_block.load(); }

bool FormalChannel::waits_for_data() { return !flag.is_set(); }

void FormalChannel::reset() {
    if (block_driver != nullptr && !block_driver->is_finished())
        block_driver->out_command(id, BlockProtocol::cmd_reset, 0);
}

// Inside protocol_critical (recursive, so the receiver's cmd_reset may already
// hold it): the queue is shared with the delivering thread.
//
// The bytes the stream holds are kept: this is what the peer's cmd_reset runs,
// and the peer cannot know them. An output block waiting for its request
// leaves as block 0 of the peer's new start, instead of being dropped while
// the flush that waits for it reports success; an input block already taken
// (and confirmed to the peer) stays readable. The streams' own init() empties
// their buffer when they start.
void FormalChannel::init() {
    Critical critical;
    set_state_value(state_value() & ~1);
    expected_block.store(0);
    // "Last received" becomes the block before the expected 0, here and not
    // only in the input stream's own start: after the peer's reset a command
    // for this channel could otherwise raise the flag over a stale matching
    // number, and the next fetch would take an old buffer as block 0.
    received_block.store(0xFF);
    block_sent.store(false);
    queue_count = 0;  // drops every entry; the head stays where it is
    // A block taken for an input stream that has not come for it yet is the
    // stream's already (the peer was asked for the next one): the flag that
    // wakes the stream for it stays set. The receive buffer is spare all the
    // same, since no block numbered 0 is complete in it.
    if (take_offer.load() != take_done) flag.clear();
}

bool FormalChannel::take_offered_block() {
    int offered = take_offered;
    if (!take_offer.compare_exchange_strong(offered, take_done)) return false;
    std::swap(buffer, receive_buffer);
    const auto next = static_cast<unsigned char>(expected_block.load() + 1);
    expected_block.store(next);
    length.store(received_length.load());
    // As the stream would after taking it: confirms this block and asks for
    // the next in one command.
    block_driver->out_command(id, BlockProtocol::cmd_next_block, next);
    return true;
}

// The writer's own steps, as flush() and write() would take them on waking:
// the request confirms the block (the number advances, the buffer empties),
// the next bytes fill the buffer, and the request, which stays the new
// block's, sends it at once. No flag is set: the writer sleeps on until a
// command arrives that this cannot handle for it.
bool FormalChannel::send_offered_block(unsigned char number) {
    WriteRest& rest = write_rest;
    if (rest.bytes == nullptr || queue_count != 0 || !block_sent.load()) return false;
    if (rest.count - rest.sent <= static_cast<long>(buffer_size)) return false;
    if (number != static_cast<unsigned char>(expected_block.load() + 1)) return false;
    std::memcpy(buffer, rest.bytes + rest.sent, buffer_size);
    rest.sent += buffer_size;
    if (rest.timed) rest.last_send_ms = zorbel::detail::clock_ms();
    expected_block.store(number);
    position.store(buffer_size);
    length.store(buffer_size);
    block_driver->out_block(id, number, BlockProtocol::blk_data, buffer, buffer_size);
    return true;
}

bool FormalChannel::receive_buffer_free() {
    if (!flag.is_set()) return true;
    return take_offer.load() == take_done && received_block.load() != expected_block.load();
}

bool FormalChannel::delete_notification(int count, unsigned long interval) {
    for (;;) {
        if (block_driver == nullptr) return false;
        if (!block_driver->out_command(id, BlockProtocol::cmd_delete, 0)) return false;
        if (--count <= 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
}

bool FormalChannel::state_is_bad() { return (state_value() & 1) != 0; }

// A bare channel has no state word and is never bad; the stream classes lend
// theirs.
int FormalChannel::update_state(int state) {
    set_state_value(state);
    return state_value();
}

int FormalChannel::return_state() { return state_value(); }

int FormalChannel::state_value() { return state_word != nullptr ? state_word->load() : 0; }

void FormalChannel::set_state_value(int state) {
    if (state_word != nullptr) state_word->store(state);
}
