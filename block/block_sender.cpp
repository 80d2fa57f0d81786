// The sending side of BlockDriver: byte operations through the transport,
// block framing, and link supervision.
#include "block/crc32_fast.h"
#include "block/engine_state.h"
#include "support/clock.h"
#include "zorbel/block.h"

namespace {

// How long the link counts as alive after the last synchronisation pair.
constexpr std::uint32_t kLinkSilenceMs = 5000;

}  // namespace

// --- byte operations (most significant byte first) -----------------------

int BlockDriver::get_byte(CRC32& crc) {
    int c = seq_driver->hget_byte();
    crc.update(static_cast<unsigned char>(c & 0xFF));
    return c;
}

int BlockDriver::get_byte() { return seq_driver->hget_byte(); }

// A -1 among the bytes is taken as 0xFF: the truncation lets the CRC or the
// header checks reject the block rather than the byte operations.
unsigned short BlockDriver::get_word(CRC32& crc) {
    int hi = get_byte(crc);
    int lo = get_byte(crc);
    return static_cast<unsigned short>((static_cast<unsigned int>(hi) << 8) | static_cast<unsigned int>(lo));
}

unsigned short BlockDriver::get_word() {
    int hi = get_byte();
    int lo = get_byte();
    return static_cast<unsigned short>((static_cast<unsigned int>(hi) << 8) | static_cast<unsigned int>(lo));
}

unsigned long BlockDriver::get_dword(CRC32& crc) {
    unsigned long hi = get_word(crc);
    unsigned long lo = get_word(crc);
    return (hi << 16) | lo;
}

unsigned long BlockDriver::get_dword() {
    unsigned long hi = get_word();
    unsigned long lo = get_word();
    return (hi << 16) | lo;
}

bool BlockDriver::put_byte(int c, CRC32& crc) {
    crc.update(static_cast<unsigned char>(c & 0xFF));
    return seq_driver->hput_byte(c & 0xFF);
}

bool BlockDriver::put_byte(int c) { return seq_driver->hput_byte(c & 0xFF); }

bool BlockDriver::put_word(unsigned short w, CRC32& crc) {
    return put_byte(w >> 8, crc) && put_byte(w & 0xFF, crc);
}

bool BlockDriver::put_word(unsigned short w) { return put_byte(w >> 8) && put_byte(w & 0xFF); }

bool BlockDriver::put_dword(unsigned long d, CRC32& crc) {
    return put_word(static_cast<unsigned short>((d >> 16) & 0xFFFF), crc) &&
           put_word(static_cast<unsigned short>(d & 0xFFFF), crc);
}

bool BlockDriver::put_dword(unsigned long d) {
    return put_word(static_cast<unsigned short>((d >> 16) & 0xFFFF)) &&
           put_word(static_cast<unsigned short>(d & 0xFFFF));
}

// --- blocks --------------------------------------------------------------

// The header, payload and CRC go to the transport's queue in three pieces (the
// queue becomes one transfer at flush); the CRC is taken in bulk, which gives
// the same value as feeding it byte by byte. The results of the puts are not
// looked at: a transport reports a failed transfer through flush.
bool BlockDriver::out_block(int channel, int block_no, unsigned char type, unsigned char* data,
                            unsigned short len) {
    if (seq_driver == nullptr) return false;
    if (data == nullptr) len = 0;  // a block never claims bytes it does not carry
    if (link_check.load()) {
        std::uint32_t now = zorbel::detail::clock_ms();
        if (now - last_rx_time.load() > kLinkSilenceMs) connected.store(false);
        if (!connected.load()) return false;
    }
    zorbel::detail::MutexLock lock(engine->output_mutex);
    const unsigned char header[7] = {0x4D,
                                     0x4D,
                                     type,
                                     static_cast<unsigned char>(channel & 0xFF),
                                     static_cast<unsigned char>(block_no & 0xFF),
                                     static_cast<unsigned char>(len >> 8),
                                     static_cast<unsigned char>(len & 0xFF)};
    std::uint32_t reg = zorbel::detail::crc32_update(0xFFFFFFFFu, header, sizeof header);
    if (len > 0) reg = zorbel::detail::crc32_update(reg, data, len);
    reg = ~reg;
    const unsigned char trailer[4] = {static_cast<unsigned char>(reg >> 24),
                                      static_cast<unsigned char>(reg >> 16),
                                      static_cast<unsigned char>(reg >> 8), static_cast<unsigned char>(reg)};
    // Three copies instead of a virtual call per byte: at 523 bytes a block
    // cost about 26 instructions per byte that way.
    seq_driver->hput_bytes(header, sizeof header);
    if (len > 0) seq_driver->hput_bytes(data, len);
    seq_driver->hput_bytes(trailer, sizeof trailer);
    bytes_out.fetch_add(static_cast<std::uint32_t>(len) + 9u, std::memory_order_relaxed);
    bool sent = seq_driver->flush();
    if (link_check.load()) last_tx_time.store(zorbel::detail::clock_ms());
    return sent;
}

bool BlockDriver::out_command(int channel, BlockProtocol::command_t cmd, unsigned char arg) {
    unsigned char payload[command_len] = {static_cast<unsigned char>(cmd), arg, 0, 0};
    return out_block(channel, 0, blk_command, payload, command_len);
}
