// The receiving end of a channel. It drives the exchange: it asks for each
// numbered block with cmd_next_block, repeats the request on a timer until the
// block is there, takes the block by exchanging buffers with the receiver and
// asks for the next one at once, so the following block travels while the
// caller reads this one.
#include <algorithm>
#include <cstring>

#include "channel/stream_failure.h"
#include "support/clock.h"
#include "support/log.h"
#include "zorbel/channel.h"

namespace {

// How long a fetch waits before asking again: briefly after a failure, so a
// new fetch recovers a lost request fast; rarely while blocks flow, because
// the read-ahead request already went out when the last block was taken.
constexpr std::uint32_t kRetryIntervalMs = 100;
constexpr std::uint32_t kFlowingIntervalMs = 5000;
// What "no limit" amounts to: about 24.8 days.
constexpr std::uint32_t kNoLimitMs = 0x7FFFFFFF;
// A wait without a time-out (set_unlimited_wait) gives the block asked for
// ahead this long before asking again, then twice as long each time up to
// the flowing interval. Short, so a lost block or request is made good about
// as fast as by an application reading with a 50 ms time-out, which asks
// again every 50 ms; growing, so a stream whose peer has nothing to send
// soon asks only every few seconds (each repeat the peer finds queued
// before it has the block sends that block once more).
constexpr std::uint32_t kUnlimitedFirstRepeatMs = 50;

// The stream's time-out as a budget. 0 means no limit; a negative time-out is
// no caller's intention and is read the same way rather than as ~49 days.
std::uint32_t budget_of(long timeout) {
    return timeout > 0 ? static_cast<std::uint32_t>(std::min<long>(timeout, kNoLimitMs)) : kNoLimitMs;
}

}  // namespace

ChannelInput::ChannelInput(BlockDriver* driver, unsigned char id)
    : FormalChannel(driver, id, &flags),
      request_interval(kRetryIntervalMs),
      last_request_time(0),
      request_time_unknown(false),
      unlimited_wait(false),
      asked_ahead(false) {
    init();
}

// Leaves the table before anything else goes: from then on the receiver
// cannot write into this object while its members are torn down.
ChannelInput::~ChannelInput() { unregister(); }

void ChannelInput::init() {
    // Also sets "last received" to the block before the expected 0, so a
    // command that raises the flag before the first block is not taken for a
    // phantom block 0 that would confirm a block never received.
    FormalChannel::init();
    position.store(0);
    length.store(0);
    request_interval = kRetryIntervalMs;
    last_request_time = zorbel::detail::clock_ms();
    request_time_unknown = false;
    asked_ahead = false;
}

void ChannelInput::set_unlimited_wait(bool on) { unlimited_wait = on; }

int ChannelInput::update_state(int state) {
    flags.store(state);
    return state;
}

int ChannelInput::return_state() { return flags.load(); }

long ChannelInput::can_get_bytes() { return length.load() - position.load(); }

void ChannelInput::set_interrupt_check(const std::function<bool()>* keep_waiting) {
    interrupt_check = keep_waiting;
}

bool ChannelInput::interrupted() const { return was_interrupted; }

bool ChannelInput::wait_for_block(std::uint32_t ms) {
    if (interrupt_check == nullptr) return flag.wait_set(ms);
    for (;;) {
        const std::uint32_t piece = std::min(ms, kInterruptCheckMs);
        if (flag.wait_set(piece)) return true;
        ms -= piece;
        if (ms == 0) return false;
        if (!(*interrupt_check)()) {
            was_interrupted = true;
            return false;
        }
    }
}

bool ChannelInput::call_next_block() {
    was_interrupted = false;
    const bool unlimited = unlimited_wait;
    const long timeout = unlimited ? 0 : get_timeout();
    // Compared unsigned, as the clock is: a time-out of 0 gives no first wait.
    // An unlimited wait gives the block asked for ahead its short first wait,
    // counted from now (its request went out earlier), which needs no clock.
    const std::uint32_t first_wait =
        unlimited ? (asked_ahead ? kUnlimitedFirstRepeatMs : 0)
                  : std::min<std::uint32_t>(request_interval, static_cast<std::uint32_t>(timeout));
    position.store(0);
    length.store(0);

    // Takes the expected block if the flag stands for it, or else clears the
    // flag, both inside protocol_critical: the peer's cmd_reset clears the
    // flag from the delivering thread under that lock, after which the
    // receiver may write into the receive buffer that is being swapped here.
    // The receiver writes only while the flag is clear, so with the flag set
    // the buffers are ours.
    auto take_or_clear = [this] {
        Critical critical;
        const bool expected = flag.is_set() && received_block.load() == expected_block.load();
        if (expected) {
            std::swap(buffer, receive_buffer);
            expected_block.store(static_cast<unsigned char>(expected_block.load() + 1));
            length.store(received_length.load());
        }
        flag.clear();
        return expected;
    };

    // The request for this block normally went out when the previous one was
    // taken; give the block the rest of the interval to arrive before asking
    // again, so a flowing stream sends one request per block. Without a
    // time-out there is no first wait, and the clock is not read for it.
    bool taken_for_us = false;
    if (first_wait > 0) {
        const std::uint32_t elapsed =
            unlimited || request_time_unknown ? 0 : zorbel::detail::clock_ms() - last_request_time;
        if (elapsed < first_wait) {
            offer_take();
            wait_for_block(first_wait - elapsed);
            taken_for_us = withdraw_offer();
            if (!taken_for_us && was_interrupted) return false;
        }
    }

    if (!taken_for_us && !take_or_clear()) {
        std::uint32_t budget = budget_of(timeout);
        std::uint32_t interval = unlimited ? 2 * kUnlimitedFirstRepeatMs : request_interval;
        bool asked = false;
        for (;;) {
            bool woken = false;
            while (!woken) {
                if (budget == 0 || state_is_bad()) return false;
                if (block_driver == nullptr || block_driver->is_finished()) return false;
                // After a process-wide shutdown every wait fails at once; asking
                // on would only flood the link until the budget ran out.
                if (Synchro::is_finished()) return false;
                if (asked)
                    ZORBEL_LOG_LIMITED(zorbel::LogLevel::debug, "asked the device again for block "
                                                                    << static_cast<int>(expected_block.load())
                                                                    << " on channel " << static_cast<int>(id)
                                                                    << " (" << zorbel_log_events
                                                                    << " repeated requests so far)");
                asked = true;
                block_driver->out_command(id, BlockProtocol::cmd_next_block, expected_block.load());
                asked_ahead = true;
                // The budget is spent in whole slices: a slice cut short by a
                // stray wake-up still counts.
                std::uint32_t slice;
                if (budget > interval) {
                    slice = interval;
                    budget -= interval;
                } else {
                    slice = budget;
                    budget = 0;
                }
                if (unlimited) interval = std::min(2 * interval, kFlowingIntervalMs);
                offer_take();
                woken = wait_for_block(slice);
                // Withdrawn before anything else is sent: the delivering
                // thread's request must not overtake a repeat of ours.
                taken_for_us = withdraw_offer();
                if (taken_for_us) break;
                if (was_interrupted) return false;
            }
            if (taken_for_us) break;
            if (state_is_bad()) return false;
            // The flag may stand for something else (a command addressed to
            // this number); only the expected block ends the wait.
            if (take_or_clear()) break;
        }
    }

    // Confirms the block just taken and asks for the next in one command; the
    // delivering thread did that already for a block it took.
    if (!taken_for_us) block_driver->out_command(id, BlockProtocol::cmd_next_block, expected_block.load());
    // The time of this request serves only the next fetch's first wait, which
    // a stream without a time-out does not make: the one clock reading a
    // round trip costs is saved there too.
    request_time_unknown = unlimited || get_timeout() == 0;
    if (!request_time_unknown) last_request_time = zorbel::detail::clock_ms();
    asked_ahead = true;
    return length.load() > 0;
}

// Only a stream with its current block given up (position and length 0) and
// the expected number still to take offers: that is the state the delivering
// thread leaves it in after a take.
void ChannelInput::offer_take() { take_offer.store(take_offered); }

// Called after each offered wait. Withdrawing an offer that was not taken
// needs no lock: the delivery could only take it by the same exchange. A take
// happens whole inside protocol_critical, so entering it here makes the
// swapped buffers, the number and the length the delivery wrote ours. The
// flag was set only to wake this stream; it stays set if the next block is
// complete in the receive buffer already, for the next fetch to take.
bool ChannelInput::withdraw_offer() {
    int offered = take_offered;
    if (take_offer.compare_exchange_strong(offered, take_none) || offered != take_done) return false;
    Critical critical;
    take_offer.store(take_none);
    if (received_block.load() != expected_block.load()) flag.clear();
    return true;
}

long ChannelInput::get_block() {
    if (state_is_bad()) return -1;
    if (block_driver == nullptr || block_driver->is_finished()) return -1;
    if (call_next_block()) {
        request_interval = kFlowingIntervalMs;
        return length.load();
    }
    request_interval = kRetryIntervalMs;
    return -1;
}

long ChannelInput::read(unsigned char* buf, long count) {
    if (block_driver == nullptr || block_driver->is_finished()) {
        zorbel::detail::stream_failed(block_driver, state_is_bad());
        return -1;
    }
    if (count <= 0) return 0;
    long placed = 0;
    for (;;) {
        const std::int32_t pos = position.load();
        const long n = std::min<long>(length.load() - pos, count - placed);
        if (n > 0) {
            std::memcpy(buf + placed, buffer + pos, static_cast<std::size_t>(n));
            position.store(pos + static_cast<std::int32_t>(n));
            placed += n;
        }
        if (placed == count) return count;
        if (get_block() == -1) {
            // The end of the stream is no failure to explain.
            if (!is_eof()) zorbel::detail::stream_failed(block_driver, state_is_bad());
            return placed;
        }
    }
}

int ChannelInput::read_byte() {
    if (block_driver == nullptr || block_driver->is_finished()) {
        zorbel::detail::stream_failed(block_driver, state_is_bad());
        return -1;
    }
    while (position.load() >= length.load()) {
        if (get_block() == -1) {
            if (!is_eof()) zorbel::detail::stream_failed(block_driver, state_is_bad());
            return -1;
        }
    }
    const std::int32_t pos = position.load();
    position.store(pos + 1);
    return buffer[pos];
}

// A failed byte reads as -1 and floods its own byte and every lower one with
// ones; callers who care check the stream's state.
unsigned short ChannelInput::read_word() {
    std::uint32_t v = static_cast<std::uint32_t>(read_byte());
    v = (v << 8) | static_cast<std::uint32_t>(read_byte());
    return static_cast<unsigned short>(v);
}

unsigned long ChannelInput::read_dword() {
    std::uint32_t v = static_cast<std::uint32_t>(read_byte());
    for (int i = 0; i < 3; ++i) v = (v << 8) | static_cast<std::uint32_t>(read_byte());
    return v;
}

unsigned int ChannelInput::read_string(char* buf, unsigned int size) {
    if (size == 0) return 0;  // no room even for the terminating zero
    for (unsigned int i = 0; i + 1 < size; ++i) {
        int r = read_byte();
        if (r < 0) r = 0;  // a failed read ends the string as a zero would
        buf[i] = static_cast<char>(r);
        if (r == 0) return i;
    }
    buf[size - 1] = 0;
    return size - 1;
}

long ChannelInput::available() { return std::max<long>(0, can_get_bytes()); }

long ChannelInput::seekg(long, seek_t) { return -1; }
long ChannelInput::tellg() { return -1; }
long ChannelInput::get_size() { return -1; }
