// The emulated device: a link that behaves like a real one, and (below) an
// emulated USB bus with devices that run the device's side of the protocol.
// Tests, the demo, the benchmarks and users without hardware talk to it.
#ifndef ZORBEL_EMULATOR_H
#define ZORBEL_EMULATOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    std::unique_ptr<EmulatedLinkImpl> impl_;
};

// ---------------------------------------------------------------------------
// The emulated USB bus
//
// While an EmulatedBus object is alive, the device functions (Get_Zorbel_Count
// and the rest), connections and the bus walk of this process see its devices
// and nothing else; when several are alive, the newest wins. Typical use:
//
//     zorbel::EmulatedBus bus;
//     int root = bus.add_controller();             // controller 0, 4 ports
//     zorbel::EmulatedDeviceSettings s;
//     s.hardware_id = "ZB0000000042";
//     zorbel::EmulatedDevice dev = bus.add_device(root, 1, s);
//     dev.bind(1, zorbel::echo_program());         // pipe 1 echoes
//     // ... ChanIOControl, Get_Zorbel_Info, etc. now reach `dev`
//
// The bus is a tree: up to ten host controllers (numbers 0 to 9), each with a
// root hub; ports numbered from 1 hold nothing, an external hub, a device of
// another maker, a port that reports no connection, or a Zorbel device. Hubs
// are named by the integers the add_* calls return. The bus deliberately
// enforces no limit of hub tiers, so that a walk's own limit can be tested.
//
// Devices are listed per mode (the index the device functions and
// USBSeqDriver::open_port use) in order of arrival: plugging a device back in
// puts it behind the devices that stayed, so its index can change.

class EmulatedBusImpl;
class EmulatedDeviceImpl;

// A device-side program's view of one pipe p: it reads what the host writes
// on the pipe (the host's output channel 2p-1) and writes what the host reads
// (channel 2p). The device's streams carry short time-outs so that a program
// notices promptly that it should stop.
//
// Thread-safety: one thread reads (read_some, input()) and one writes
// (write_all, output()); they may be two threads at once. finished() from any.
class ZORBEL_API DevicePipe {
public:
    virtual ~DevicePipe() = default;
    virtual int number() const = 0;
    // The raw device-side streams, for programs that want the stream API.
    virtual ::ChannelInput& input() = 0;
    virtual ::ChannelOutput& output() = 0;
    // True once the program should return: the host deleted the pipe (one of
    // its channels turned bad), the device restarted or the bus is being
    // destroyed. Unplugging alone does not end a program: the device runs on.
    virtual bool finished() = 0;
    // The bytes that have arrived, at most `count` and never more than one
    // block: > 0 bytes read, 0 when nothing came within a short step (a few
    // hundred ms at most), -1 once finished() holds.
    virtual long read_some(unsigned char* buf, long count) = 0;
    // Writes every byte and flushes, retrying while the host does not ask;
    // false when the pipe finished first.
    virtual bool write_all(const unsigned char* data, long count) = 0;
};

// A program bound to a pipe number. It runs on a thread of the device for as
// long as one pipe with that number lasts, and must return soon after
// pipe.finished() turns true. When it returns, the device serves the next pipe
// with that number afresh with the same program.
using DeviceProgram = std::function<void(DevicePipe& pipe)>;

// Echo: sends back every byte it reads, in order. It reads on while earlier
// bytes wait for the host to read them, up to 64 KiB; beyond that it reads
// no more until the host reads.
ZORBEL_API DeviceProgram echo_program();

// What a sink has read, over every pipe it served: the byte count and the
// CRC-32 (that of class CRC32) of all those bytes in order.
//
// Thread-safety: any thread.
class ZORBEL_API SinkTally {
public:
    SinkTally();
    ~SinkTally();
    SinkTally(const SinkTally&) = delete;
    SinkTally& operator=(const SinkTally&) = delete;

    std::uint64_t bytes() const;
    std::uint32_t crc32() const;
    // Waits until at least `count` bytes were read; false after `timeout_ms`.
    bool wait_for(std::uint64_t count, unsigned long timeout_ms) const;
    void add(const unsigned char* data, std::size_t count);
    void clear();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Sink: reads everything and adds it to `tally`; sends nothing.
ZORBEL_API DeviceProgram sink_program(std::shared_ptr<SinkTally> tally);

// Source: writes the source pattern from offset 0, `length` bytes (0: without
// end) in blocks of 512, then idles until the pipe finishes.
ZORBEL_API DeviceProgram source_program(std::uint64_t length = 0);

// The source pattern: byte k of the stream is
//     (k + 7 * (k >> 9)) & 0xFF
// so it counts up within each 512-byte block and shifts by 7 from one block to
// the next: a lost, doubled or reordered block shows.
ZORBEL_API unsigned char source_pattern(std::uint64_t k);

// Boot images. A boot-mode device accepts an image of this form and refuses
// anything else (the boot request then returns 1, "refused"):
//     offset 0      4 bytes "ZBIM"
//     offset 4      the payload, any length (also none)
//     offset 4+N    CRC-32 of bytes 0 .. 3+N, most significant byte first
// make_boot_image builds one around a payload; boot_image_valid checks one.
ZORBEL_API std::vector<unsigned char> make_boot_image(const void* payload, std::size_t size);
ZORBEL_API bool boot_image_valid(const void* image, std::size_t size);

// One emulated Zorbel device as it is first plugged in.
struct EmulatedDeviceSettings {
    bool boot_mode = false;                    // arrives waiting in its boot loader
    char type = 'T';                           // the record's type letter
    std::string hardware_id = "ZB0000000001";  // 12 characters
    std::string id = "0000001";                // 7 characters
    LaneSettings to_device;                    // the host's writes
    LaneSettings to_host;                      // the host's reads
    unsigned int boot_delay_ms = 5;            // from an accepted image to normal mode
};

// A handle on one device of a bus; copies name the same device. It stays
// usable after the device is unplugged and after the bus is gone (then every
// operation does nothing and queries answer as for an unplugged device).
//
// Thread-safety: every operation from any thread, also while the host has the
// device open.
class ZORBEL_API EmulatedDevice {
public:
    EmulatedDevice();  // names no device
    bool valid() const;

    bool plugged() const;
    bool boot_mode() const;
    std::string hardware_id() const;

    // Removes the device from its port, as a cable pulled out: every open
    // handle's outstanding read ends with failure, every later request on
    // those handles fails, and transfers on their way are lost. A device in
    // normal mode runs on with its own power: its programs and the state of
    // its channels (block numbers, buffered bytes) stay as they were. A
    // device in its boot loader forgets a boot under way. Idempotent.
    void unplug();
    // Plugs it in again at its last port (or at hub/port when given); it
    // arrives behind every device already present, and a normal-mode device
    // carries on where it was. False when the port is taken or absent.
    bool plug();
    bool plug(int hub, int port);
    // Restarts a device in normal mode, as a reboot does: it leaves the bus
    // (its handles fail) and arrives again behind the devices present, its
    // programs start afresh from block 0, and each of its pipes first sends
    // cmd_reset on both channels so that a host still holding them starts
    // again too. False when the device is not plugged in normal mode.
    bool reset();

    // Binds a program to pipe 1..125; it serves the next pipe with that
    // number (an unbound pipe stays unanswered). A null program unbinds.
    void bind(int pipe, DeviceProgram program);

    // The link's behaviour per direction, for transfers from now on.
    void set_link(const LaneSettings& to_device, const LaneSettings& to_host);
    LaneStats to_device_stats() const;
    LaneStats to_host_stats() const;

    // Fault fixtures: a device that is listed but refuses to open; an
    // information request that fails; the raw 22 code units of the record
    // (shorter text is padded with zeros), replacing the one built from the
    // type letter and IDs; the delay of a later boot.
    void set_open_refused(bool refused);
    void set_info_fails(bool fails);
    void set_info_record(const std::u16string& units);
    void set_boot_delay(unsigned int ms);

    // Images this device accepted, and whether it has reached normal mode
    // within `timeout_ms` (a boot is asynchronous, as on real hardware).
    unsigned int boots() const;
    bool wait_normal_mode(unsigned long timeout_ms) const;

private:
    friend class EmulatedBus;
    friend class EmulatedBusImpl;
    explicit EmulatedDevice(std::shared_ptr<EmulatedDeviceImpl> impl);
    std::shared_ptr<EmulatedDeviceImpl> impl_;
};

// The bus. Construction makes it the process's device host; destruction
// unplugs every device (ending every open handle's requests), stops every
// device thread and gives way to the bus or platform that was there before.
//
// Thread-safety: every operation from any thread. Destroy it only once no
// connection to its devices is starting or stopping on another thread.
class ZORBEL_API EmulatedBus {
public:
    EmulatedBus();
    ~EmulatedBus();
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // A host controller with a root hub of `ports` ports; `number` 0..9, or
    // -1 for the lowest free one. Returns the root hub, or -1 when the number
    // is taken or out of range. With `name_readable` false the controller is
    // there but its root hub's name cannot be read.
    int add_controller(int ports = 4, int number = -1, bool name_readable = true);
    // An external hub on a free port; returns it, or -1. With `name_readable`
    // false its parent cannot report its name, so a walk cannot descend.
    int add_hub(int hub, int port, int ports = 4, bool name_readable = true);
    // A device of another kind (any vendor and product IDs, also Zorbel's:
    // it is on the bus but in no device list).
    bool add_foreign_device(int hub, int port, std::uint16_t vendor, std::uint16_t product);
    // A port that reports "not connected" although its descriptor fields hold
    // these IDs, as a port can while a device enumerates or after a fault.
    bool add_unconnected_port(int hub, int port, std::uint16_t vendor, std::uint16_t product);
    // A Zorbel device, plugged in at once. An invalid handle when the port is
    // taken or absent.
    EmulatedDevice add_device(int hub, int port, const EmulatedDeviceSettings& settings = {});

    // The demo bus, on an empty bus: controller 0 with a 4-port root hub; on
    // port 1 a boot-mode device (device number 0, hardware ID "ZB0000000001",
    // ID "0000001"), on port 2 a normal-mode device (device number 1,
    // "ZB0000000002", "0000002"). Both run echo on pipe 1, a sink on pipe 2
    // (one tally for both) and the endless source on pipe 3; the boot-mode
    // one once it has been booted.
    struct Demo {
        EmulatedDevice boot;
        EmulatedDevice normal;
        std::shared_ptr<SinkTally> sink;
    };
    Demo add_demo();

    // Connections claim a device system-wide by its ID. Claims on this bus's
    // devices are private to this process by default, since the devices exist
    // nowhere else; buses in several processes that are given the same scope
    // (at most 48 characters) share claims as programs sharing one real
    // device do, e.g. to test what a second program sees.
    void set_claim_scope(const std::string& scope);

private:
    std::shared_ptr<EmulatedBusImpl> impl_;
};

}  // namespace zorbel

#endif
