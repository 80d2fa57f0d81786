// Block protocol: the byte transport interface, CRC-32 and block framing, the
// block receiver and the table of registered channels.
//
// Every byte between host and device travels in a block:
//
//   offset  size  field
//   0       2     sync 0x4D 0x4D
//   2       1     type: 0x11 data, 0x12 command, 0x13 keep-alive
//   3       1     channel 0..255
//   4       1     block number (data) or 0
//   5       2     payload length N, big-endian (data <= 512, command == 4)
//   7       N     payload
//   7+N     4     CRC-32 (IEEE 802.3) of bytes 0..6+N, big-endian
//
// There is no escaping; the receiver finds a block by hunting for 0x4D 0x4D.
#ifndef ZORBEL_BLOCK_H
#define ZORBEL_BLOCK_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "zorbel/export.h"
#include "zorbel/support.h"

// The classic interface keeps the names that client programs written against
// it use, so the internal code's naming rule does not apply from here on.
// NOLINTBEGIN(readability-identifier-naming)

class BlockDriver;
class FormalChannel;

namespace zorbel {
namespace detail {
class BlockEngineState;
}
}  // namespace zorbel

// The abstract byte transport under a block engine. Input is either polled
// (hget_byte) or pushed: the implementation reads chunks on a thread of its
// own into the buffer set with set_input_callback_buff and hands each one to
// BlockDriver::dispatch_block_callback of the engine set with
// set_input_block_driver.
//
// Thread-safety: `finished` and the time-outs are atomic and may be read and
// written from any thread; the rest is up to the implementation.
class ZORBEL_API FormalSeqDriver {
public:
    FormalSeqDriver();
    FormalSeqDriver(const FormalSeqDriver& other);
    FormalSeqDriver& operator=(const FormalSeqDriver& other);

    // Next received byte 0..255, or -1 when none came within i_timeout ms or
    // the driver is finished.
    virtual int hget_byte() = 0;
    // Queues the low 8 bits of c; may transmit when the queue is full.
    virtual bool hput_byte(int c) = 0;
    virtual bool open_port(char* name, long index, long reserved) = 0;
    // True, also when nothing was open.
    virtual bool close_port(char* name) = 0;
    // Starts pushed input (after the two hand-overs below).
    virtual bool init() = 0;
    // Stops input: cancels pending reads and marks the driver finished.
    virtual bool done() = 0;
    // Sends everything queued as one transfer; the queue is empty afterwards.
    virtual bool flush() = 0;
    virtual ~FormalSeqDriver();
    // The receive buffer stays the caller's: the driver borrows it until it
    // is handed a new one, and the caller frees it only after done().
    virtual bool set_input_callback_buff(unsigned char* buf, unsigned int len) = 0;
    // The engine is borrowed likewise; null withdraws it.
    virtual bool set_input_block_driver(BlockDriver* bd) = 0;
    // What the two calls above handed over (borrowed, not owned; null when
    // none): the pointers stay valid as long as their owner keeps them.
    virtual BlockDriver* get_input_block_driver() = 0;
    virtual unsigned char* get_input_callback_buff() = 0;
    virtual unsigned int get_input_callback_buff_len() = 0;
    // Queues `n` bytes exactly as n calls of hput_byte would; false when any
    // of them would have been false. The block engine sends whole blocks
    // through it, so a transport with a queue copies a block in one go rather
    // than taking a virtual call per byte. Placed after the thirteen original
    // operations, whose order it leaves as it was.
    virtual bool hput_bytes(const unsigned char* data, unsigned int n);
    // False when flush() only hands the transfer on and returns, whatever the
    // peer does meanwhile: it never waits for the peer to read. Only then may
    // the thread that delivers incoming blocks send from inside the delivery
    // (the block engine asks for a reader's next block there): a delivering
    // thread blocked in a write that the peer reads only after the host has
    // read from it would stall the link. True unless a transport says so.
    virtual bool flush_waits_for_peer();

    void finish();
    bool is_finished();
    void set_i_timeout(unsigned long ms);
    void set_o_timeout(unsigned long ms);
    // The argument is accepted and not used.
    unsigned long get_i_timeout(unsigned long);
    unsigned long get_o_timeout(unsigned long);

protected:
    std::atomic<bool> finished;
    std::atomic<unsigned long> i_timeout;
    std::atomic<unsigned long> o_timeout;
};

class ZORBEL_API BlockProtocol {
public:
    enum block_t { blk_data = 0x11, blk_command = 0x12, blk_alive = 0x13 };
    enum command_t {
        cmd_next_block = 2,  // argument: number of the block wanted next
        cmd_block_ack = 3,   // argument: number of the block accepted
        cmd_reset = 4,
        cmd_delete = 5,
    };
    static constexpr unsigned int max_data_len = 512;
    static constexpr unsigned int command_len = 4;
    static constexpr unsigned int overhead = 11;  // sync, header, CRC
};

// The standard CRC-32 (IEEE 802.3, reflected 0xEDB88320, initial value and
// final complement 0xFFFFFFFF); "123456789" gives 0xCBF43926.
class ZORBEL_API CRC32 {
public:
    CRC32();
    void init();
    void update(unsigned char b);
    // Low byte first, then the high byte.
    void update(unsigned short w);
    // Bulk update; uses the fastest implementation the machine offers, with a
    // result identical to feeding the bytes one by one.
    void update(void* data, unsigned long n);
    unsigned long get();

    static const std::uint32_t table[256];

private:
    std::uint32_t crc;
};

// The block engine of one connection: sends blocks through its transport,
// receives them with a resumable state machine, and keeps the table of 256
// channel slots that blocks are addressed to.
//
// Thread-safety: out_block/out_command from any thread (output mutex). The
// pushed receive path handles each chunk inside protocol_critical, which it
// only ever tries to take: a chunk that meets the lock held elsewhere, or the
// table locked, is refused, and the transport offers it again after
// await_dispatch. Attaching and detaching channels take protocol_critical
// alone, so they wait for a chunk under way (no channel is touched after its
// destructor has unregistered it) and may be called by a thread that already
// holds the critical section.
class ZORBEL_API BlockDriver : public BlockProtocol {
public:
    BlockDriver(const char* name, FormalSeqDriver* driver);
    ~BlockDriver();
    BlockDriver(const BlockDriver&) = delete;
    BlockDriver& operator=(const BlockDriver&) = delete;

    // --- byte operations (big-endian), through the transport
    int get_byte(CRC32& crc);
    int get_byte();
    unsigned short get_word(CRC32& crc);
    unsigned short get_word();
    unsigned long get_dword(CRC32& crc);
    unsigned long get_dword();
    bool put_byte(int c, CRC32& crc);
    bool put_byte(int c);
    bool put_word(unsigned short w, CRC32& crc);
    bool put_word(unsigned short w);
    bool put_dword(unsigned long d, CRC32& crc);
    bool put_dword(unsigned long d);

    // --- sending
    bool out_block(int channel, int block_no, unsigned char type, unsigned char* data, unsigned short len);
    bool out_command(int channel, BlockProtocol::command_t cmd, unsigned char arg);

    // --- receiving
    // Pushed path: consumes the whole chunk and returns true, or refuses it
    // (false, nothing consumed) while the table is locked, while another
    // thread holds protocol_critical, or while another chunk is being
    // processed.
    bool dispatch_block_callback(unsigned char* data, unsigned int len);
    // For a transport whose chunk was just refused, before it offers the chunk
    // again: waits (at most a few milliseconds) until the table is unlocked,
    // or gives the holder of protocol_critical a moment. `refusals` counts the
    // refusals of this chunk so far: the first few only yield, later ones
    // sleep, so a lock held for long costs the reader no CPU.
    void await_dispatch(unsigned int refusals);
    // Polled path: at most one block per call, pulled with hget_byte. It holds
    // the receive lock while it pulls bytes and protocol_critical only while
    // it hands a complete block to its channel.
    bool dispatch_block();

    // --- channel table
    // Attaching and detaching take protocol_critical (recursive) and nothing
    // else: a client may construct or destroy channels and pipes while it
    // holds the critical section. Lock order: receive lock, then
    // protocol_critical, then the output mutex.
    bool attach_channel(FormalChannel* ch);
    bool deattach_channel(FormalChannel* ch);
    bool lock_channels();
    bool unlock_channels();
    bool proper_channel(unsigned short n);
    bool channel_registered(int n);
    // The channel registered under n, or null. Borrowed: the channel belongs
    // to whoever made it and leaves the table in its destructor, so the
    // pointer is good only while the caller knows the channel is alive (or
    // holds protocol_critical, under which table writes happen).
    FormalChannel* get_channel(int n);
    unsigned long total_channels();

    // --- link state
    bool is_hardware_connected();
    bool is_finished();
    // The transport given at construction: not owned, lives as long as its
    // owner keeps it (for a connection's engine, as long as the connection).
    FormalSeqDriver* get_seq_driver();
    // Sets the Flag of every registered channel, so that a stream waiting on
    // one looks at the link again: the transport calls it once it has
    // finished, when no block will ever arrive to wake the waiters. Waits for
    // protocol_critical: for the thread that stops the transport, never for
    // its reader.
    void wake_channels();
    // As wake_channels, for a transport's reader, which must never wait for
    // protocol_critical (its holder may be waiting for the reader): done now
    // if the lock is free (true), else recorded and done by the next
    // delivery, settle_link_events or wake_channels (false).
    bool post_wake_channels();
    // The transport reopened the same device after a failed read (a cable
    // pulled and put back, a transient error): the device's channels kept
    // their state, so every channel keeps its block numbers, its queue and
    // its bytes. A block half received on the old handle is forgotten, and
    // every channel is woken so that a stream waiting on it asks again at
    // once for what may have been lost in between. A device that really
    // restarted says so with cmd_reset on its channels. Never waits, as
    // post_wake_channels: true when done now, false when recorded (the next
    // delivery does it before it looks at its chunk).
    bool resume_channels();
    // Carries out what post_wake_channels and resume_channels recorded, if
    // protocol_critical can be had now; true when nothing is left to do.
    bool settle_link_events();

    // --- statistics (bytes per second since the last call)
    void start_statistics();
    void get_statistics(long& in_rate, long& out_rate);

    // Link supervision (on at construction). The connection object switches
    // it off and marks the link up right after constructing its engine.
    std::atomic<bool> link_check;
    std::atomic<bool> connected;

private:
    void dispatch_state_1();
    void decode_header();
    void dispatch_state_2();
    void dispatch_state_3();
    void updata_channels();
    // Delivers a good block (header in rx_header, payload at `payload`).
    // Caller holds protocol_critical.
    void deliver(FormalChannel* ch, const unsigned char* header, const unsigned char* payload,
                 unsigned int len);
    // Whether deliver() may send for a stream that sleeps (a take).
    bool delivery_may_send();
    void reset_receiver();
    bool change_slot(FormalChannel* ch, bool attach);
    // Inside protocol_critical: what the transport recorded for the channels.
    void run_link_events();

    std::atomic<FormalChannel*> channels[256];
    // Set while the table is not locked; a refused reader waits on it.
    Flag table_unlocked;
    std::atomic<std::uint32_t> bytes_out;
    std::atomic<std::uint32_t> bytes_in;
    std::atomic<std::uint32_t> stat_start;
    FormalSeqDriver* seq_driver;
    std::atomic<std::uint32_t> last_rx_time;
    std::atomic<std::uint32_t> last_tx_time;
    std::atomic<bool> channels_locked;
    // The engine's two mutexes and the pushed receiver's state between chunks
    // (block/engine_state.h): kept out of this header, where the types are
    // the standard ones, so that the compiler can check which lock guards
    // what. Owned; made by the constructor.
    std::unique_ptr<zorbel::detail::BlockEngineState> engine;
};

// NOLINTEND(readability-identifier-naming)

#endif
