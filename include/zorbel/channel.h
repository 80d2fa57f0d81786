// Channels and streams: the stream interfaces callers read and write, and the
// channel classes that carry them over a block engine.
//
// Each channel runs a stop-and-wait exchange driven by the receiving side:
//
//   receiver                               sender
//   cmd_next_block(n)  ------------------>  (queued; flush() sends block n)
//                      <------------------  data block n
//   takes block n, cmd_next_block(n+1) -->  block n confirmed, flush() returns
//
// The receiver repeats its request every 100 ms after a failed fetch and every
// 5000 ms while blocks flow, so a lost block or request is made good by the
// next repetition. Block numbers are 8 bits and wrap from 255 to 0.
#ifndef ZORBEL_CHANNEL_H
#define ZORBEL_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <functional>

#include "zorbel/block.h"
#include "zorbel/export.h"
#include "zorbel/support.h"

// The classic interface keeps the names that client programs written against
// it use, so the internal code's naming rule does not apply from here on.
// NOLINTBEGIN(readability-identifier-naming)

// Seek origins; no stream of the library can seek.
enum seek_t { seek_set = 0, seek_cur = 1, seek_end = 2 };

// The common base of every stream: a flags word (bit 0 bad, bit 1 end of
// stream) and a time-out in milliseconds for one blocking step (0: no limit).
// For channel streams the flags word is the channel's state word.
//
// Thread-safety: the flags word is atomic; the delivering thread writes it
// while the stream's user reads it.
class ZORBEL_API IO {
public:
    virtual long get_size();
    virtual ~IO();

    bool is_bad();
    bool is_eof();
    bool is_good();
    int get_flags();
    void set_timeout(long ms);
    long get_timeout();

protected:
    IO();
    IO(const IO& other);
    IO& operator=(const IO& other);
    void set(int mask);
    void clear(int mask);

    std::atomic<int> flags;
    std::atomic<long> timeout;
};

class ZORBEL_API Input : public virtual IO {
public:
    Input();
    virtual long read(unsigned char* buf, long count) = 0;
    virtual int read_byte() = 0;
    virtual long seekg(long offset, seek_t origin) = 0;
    virtual long tellg() = 0;
};

class ZORBEL_API Output : public virtual IO {
public:
    Output();
    virtual long write(const unsigned char* data, long count) = 0;
    virtual int write_byte(int c) = 0;
    virtual long seekp(long offset, seek_t origin) = 0;
    virtual long tellp() = 0;
};

// One logical channel registered with a block engine: two 512-byte buffers,
// the block counter, a queue of the peer's commands, a Flag and the state.
// The block engine's delivering thread fills the receive side; the stream on
// the caller's thread consumes it. The engine reaches a channel only through
// non-virtual members, so a channel being constructed or destroyed on another
// thread is never entered through a half-built virtual table. A stream takes a
// delivered block (looks at the flag, swaps the buffers, clears the flag)
// inside protocol_critical: the peer's cmd_reset clears the flag from the
// delivering thread under that lock, after which the receiver may write the
// next payload into the receive buffer. A stream asleep for its block may let
// the delivering thread take it instead (take_offer).
class ZORBEL_API FormalChannel {
    friend class BlockDriver;

public:
    static constexpr unsigned int buffer_size = 512;
    static constexpr unsigned int queue_size = 5;

    FormalChannel(BlockDriver* driver, unsigned char id);
    virtual ~FormalChannel();
    FormalChannel(const FormalChannel&) = delete;
    FormalChannel& operator=(const FormalChannel&) = delete;

    unsigned short get_id();
    bool is_correct_blk(int n);
    bool waits_for_data();
    // Asks the peer to re-initialise its end; nothing changes locally.
    void reset();

protected:
    // For the stream classes: `state_word` is the flags word of their IO base,
    // which serves as the channel state.
    FormalChannel(BlockDriver* driver, unsigned char id, std::atomic<int>* state_word);

    virtual int update_state(int state);
    virtual int return_state();

    void init();
    bool delete_notification(int count, unsigned long interval);
    bool state_is_bad();
    // Sends cmd_delete once and leaves the driver's table; idempotent. The
    // most-derived destructors call it first, so nothing is delivered into a
    // channel whose destruction has begun.
    void unregister();

    struct QueueEntry {
        std::uint32_t block_no;
        int command;
    };

    unsigned char* buffer;  // input: block being read; output: being filled
    unsigned char id;
    std::atomic<unsigned char> expected_block;
    unsigned short queue_head;     // guarded by protocol_critical
    unsigned short queue_count;    // guarded by protocol_critical
    QueueEntry queue[queue_size];  // guarded by protocol_critical
    std::atomic<unsigned char> received_block;
    BlockDriver* block_driver;
    std::atomic<std::int32_t> position;
    std::atomic<std::int32_t> length;
    Flag flag;
    unsigned char* receive_buffer;
    std::atomic<std::int32_t> received_length;
    // Output: the current block has gone to the peer at least once under its
    // number. Only then can a request for the next number, or an
    // acknowledgement, confirm it: a late request left over from an earlier
    // channel with this number must not pass for one. Written inside
    // protocol_critical; cleared by init() and when the block is confirmed.
    std::atomic<bool> block_sent;

    // Input: a stream that sleeps for its expected block may let the thread
    // that delivers it take it in its place (exchange the buffers, advance the
    // number, ask for the next block at once), so that the request does not
    // wait for the stream to wake up. The stream offers before each wait and
    // withdraws after it; the delivery turns an offer into take_done inside
    // protocol_critical, and the stream then finds the block in `buffer` with
    // the request for the next one sent. From a take until the stream has
    // withdrawn, the flag only wakes the stream: the receive buffer is a spare
    // one the stream leaves alone, into which the receiver may store the next
    // block (see receive_buffer_free).
    enum take_offer_t { take_none = 0, take_offered = 1, take_done = 2 };
    std::atomic<int> take_offer;

    // Output: the bytes of a write() that are not yet in the buffer, offered
    // by a writer that sleeps for the confirmation of a block it sent. The
    // peer's request for the next number confirms that block; the thread that
    // delivers it then fills the next block from these bytes and sends it in
    // the writer's place, exactly as the writer would on waking, so that the
    // block does not wait for the writer to wake up. It does so only for a
    // whole block with more bytes after it, which the writer too would send
    // at once. The writer offers before a wait and withdraws after it, and
    // learns how many of the bytes have gone; every field is guarded by
    // protocol_critical.
    struct WriteRest {
        const unsigned char* bytes;  // null: nothing offered
        long count;
        long sent;  // taken from `bytes` and sent by the delivery
        // For a writer with a time-out, whose limit runs from the sending of
        // the block it waits for: when the delivery last sent one.
        bool timed;
        std::uint32_t last_send_ms;
    };
    WriteRest write_rest;

private:
    void construct(BlockDriver* driver, unsigned char id);
    // For the delivering thread, inside protocol_critical, with the expected
    // block complete in the receive buffer: takes it for the stream if the
    // stream has offered, and asks the peer for the next number. True when
    // it did.
    bool take_offered_block();
    // For the delivering thread, inside protocol_critical, with the peer's
    // request for block `number`: if it confirms the block sent and the
    // writer has offered a whole block more (write_rest), sends that block
    // as the current one. True when it did; the request is then spent.
    bool send_offered_block(unsigned char number);
    // Whether the receiver may write a data block into the receive buffer:
    // while the flag is clear, or after a take while no block with the
    // expected number has been completed there since.
    bool receive_buffer_free();
    int state_value();
    void set_state_value(int state);

    std::atomic<int>* state_word;
    std::atomic<bool> registered;
};

// The receiving end of a channel, as an Input stream.
// Thread-safety: one reader thread at a time.
class ZORBEL_API ChannelInput : public Input, public FormalChannel {
public:
    ChannelInput(BlockDriver* driver, unsigned char id);
    ~ChannelInput() override;

    long read(unsigned char* buf, long count) override;
    int read_byte() override;
    long seekg(long offset, seek_t origin) override;
    long tellg() override;
    virtual unsigned short read_word();
    virtual unsigned long read_dword();
    long get_size() override;

    // Stores at most size-1 characters and a terminating zero; returns the
    // number stored before the zero. size 0 stores nothing.
    unsigned int read_string(char* buf, unsigned int size);
    // Bytes of the block in hand that have not been read: a read of at most
    // this many returns at once, without asking the peer for anything.
    long available();
    // Takes the expected block, asking for it as long as the time-out allows;
    // true when a block with at least one byte was taken.
    bool call_next_block();
    // Waits without a time-out that neither double the traffic nor leave a
    // lost block for long (the modern interface's "no limit"). A time-out of
    // 0 asks again at once for the block the read-ahead request has already
    // asked for, so every block travels twice, and then waits the long
    // request interval. With this on, the time-out is not looked at: a fetch
    // first waits a short while for the block asked for ahead, then asks
    // again at intervals that grow from short to the long one, so a lost
    // block is asked for again within that short while and an idle stream
    // soon asks rarely.
    void set_unlimited_wait(bool on);
    // While a fetch waits for its block, `keep_waiting` (when not null) is
    // asked about every kInterruptCheckMs, between waits that ask the peer
    // for nothing; false ends the fetch as a time-out does, and interrupted()
    // then holds until the next fetch. For a reader that must notice an
    // interrupt (Ctrl-C) in a long wait without asking the peer again for
    // each look. Set by the reader thread, around its call.
    static constexpr std::uint32_t kInterruptCheckMs = 50;
    void set_interrupt_check(const std::function<bool()>* keep_waiting);
    bool interrupted() const;

protected:
    int update_state(int state) override;
    int return_state() override;
    long get_block();
    long can_get_bytes();
    void init();

private:
    // Lets the delivering thread take the expected block during the wait that
    // follows (see FormalChannel::take_offer); withdraw_offer after the wait
    // says whether it did.
    void offer_take();
    bool withdraw_offer();
    // flag.wait_set(ms), asking the interrupt check between pieces.
    bool wait_for_block(std::uint32_t ms);

    const std::function<bool()>* interrupt_check = nullptr;
    bool was_interrupted = false;
    std::uint32_t request_interval;
    std::uint32_t last_request_time;
    // Set when a fetch without a time-out skipped reading the clock for
    // last_request_time; a later fetch with a time-out then counts its
    // request as just sent.
    bool request_time_unknown;
    bool unlimited_wait;  // see set_unlimited_wait
    // A request for the expected block has gone out (when the previous one
    // was taken, or from an earlier fetch); a fresh stream has asked for
    // nothing yet.
    bool asked_ahead;
};

// The sending end of a channel, as an Output stream. Bytes collect in the
// 512-byte buffer; flush() sends them as one block when the peer asks, and
// returns once the peer confirms.
// Thread-safety: one writer thread at a time.
class ZORBEL_API ChannelOutput : public Output, public FormalChannel {
public:
    ChannelOutput(BlockDriver* driver, unsigned char id);
    ~ChannelOutput() override;

    long write(const unsigned char* data, long count) override;
    int write_byte(int c) override;
    long seekp(long offset, seek_t origin) override;
    long tellp() override;
    virtual bool write_word(unsigned short w);
    virtual bool write_dword(unsigned long d);
    long get_size() override;

    // Writes the string and its terminating zero.
    long write_string(char* s);
    bool flush();

protected:
    int update_state(int state) override;
    int return_state() override;
    long can_put_bytes();
    void init();

private:
    // flush(), offering `rest` (count bytes that follow the buffer's) to the
    // delivering thread while it waits (see FormalChannel::write_rest);
    // `rest_sent` says how many of them it sent, also when the flush fails.
    bool flush_offering(const unsigned char* rest, long count, long& rest_sent);
};

// The channel streams the pipe factory creates: the channel number is taken
// modulo 256.
class ZORBEL_API ChanInput : public ChannelInput {
public:
    ChanInput(BlockDriver* driver, unsigned long num);
    ~ChanInput() override;
};

class ZORBEL_API ChanOutput : public ChannelOutput {
public:
    ChanOutput(BlockDriver* driver, unsigned long num);
    ~ChanOutput() override;
};

// NOLINTEND(readability-identifier-naming)

#endif
