// The emulated device: a link that behaves like a real one, and (below) an
// emulated USB bus with devices that run the device's side of the protocol.
// Tests, the demo, the benchmarks and users without hardware talk to it.
#ifndef ZORBEL_EMULATOR_H
#define ZORBEL_EMULATOR_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zorbel/block.h"
#include "zorbel/channel.h"
#include "zorbel/export.h"

namespace zorbel {

// How one direction of an emulated link treats the bytes it carries. A lane
// takes whole transfers (one flush each) and hands them on in chunks, as a
// USB read does: a chunk boundary has no relation to block boundaries.
// Every random choice comes from `seed`, so a failing run can be repeated.
struct LaneSettings {
    unsigned int min_chunk = 1000;  // chunk sizes, drawn uniformly from
    unsigned int max_chunk = 1000;  // [min_chunk, max_chunk], at most 1000
    unsigned int delay_us = 0;      // added to every transfer's delivery
    double bandwidth = 0;           // bytes per second; 0 is unlimited
    double corrupt_byte = 0;        // probability of flipping a byte
    double drop_transfer = 0;       // probability of losing a whole transfer
    double duplicate_transfer = 0;  // probability of delivering one twice
    std::uint64_t seed = 1;
};

// What a lane did, for tests and benchmarks.
struct LaneStats {
    std::uint64_t transfers = 0;
    std::uint64_t bytes = 0;
    std::uint64_t chunks = 0;
    std::uint64_t corrupted_bytes = 0;
    std::uint64_t dropped_transfers = 0;
    std::uint64_t duplicated_transfers = 0;
};

class EmulatedLinkImpl;

// Two byte transports joined back to back by two lanes. Each lane has its own
// delivery thread that hands the far end's block engine chunks through
// dispatch_block_callback, as the USB reader thread does; a chunk the engine
// refuses (its channel table is changing) is offered again, not lost.
//
// Usage: build a BlockDriver over each end, set it as that end's input block
// driver, and the two engines talk.
//
// Thread-safety: the ends are used like any transport; the destructor stops
// both lanes (joining their threads) and must run after no thread sends.
class ZORBEL_API EmulatedLink {
public:
    explicit EmulatedLink(const LaneSettings& a_to_b = LaneSettings(),
                          const LaneSettings& b_to_a = LaneSettings());
    ~EmulatedLink();
    EmulatedLink(const EmulatedLink&) = delete;
    EmulatedLink& operator=(const EmulatedLink&) = delete;

    FormalSeqDriver& a();
    FormalSeqDriver& b();

    // Changes a lane's settings for transfers sent from now on.
    void set_a_to_b(const LaneSettings& settings);
    void set_b_to_a(const LaneSettings& settings);
    LaneStats a_to_b_stats() const;
    LaneStats b_to_a_stats() const;

    // Stops both lanes: transfers not yet delivered are dropped and both ends
    // are finished. Idempotent; the destructor calls it.
    void shut_down();

private:
    std::unique_ptr<EmulatedLinkImpl> impl;
};

}  // namespace zorbel

#endif
