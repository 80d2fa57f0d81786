// The devices the tool works with: the machine's USB bus, or an emulated bus
// inside the process (--emulate), and a readable view of what is attached.
#ifndef ZORBEL_TOOL_BUS_H
#define ZORBEL_TOOL_BUS_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <zorbel/zorbel.h>

namespace zorbel_tool {

// The shape of the emulated bus and the faults of its links. The defaults
// give the demo's bus: device number 0 waiting in boot mode, device number 1
// in normal mode; every device runs echo on pipe 1, a sink on pipe 2 and an
// endless source on pipe 3 once it is in normal mode.
struct EmulationOptions {
    bool enabled = false;
    int boot_devices = 1;
    int normal_devices = 1;
    unsigned int delay_us = 0;
    double bandwidth = 0;  // bytes per second per direction; 0 unlimited
    double corrupt_rate = 0;
    double drop_rate = 0;
    double duplicate_rate = 0;
    std::uint64_t seed = 1;
    // Claims on emulated devices stay inside the process unless buses in
    // several processes share a scope, as programs sharing a real device do.
    std::string claim_scope;
    unsigned int boot_delay_ms = 300;
    std::uint64_t unplug_after = 0;  // unplug the device once a transfer moved this much
    // Hot-plug on a timer, to see waiting and watching at work: the
    // normal-mode devices arrive this long after the start (0: at once), and
    // leave this long after the start (0: never).
    unsigned int arrive_after_ms = 0;
    unsigned int leave_after_ms = 0;
    // The program each device runs on a pipe: "echo", "sink" or "source".
    std::map<int, std::string> programs = {{1, "echo"}, {2, "sink"}, {3, "source"}};
};

// The pipe numbers of the emulated devices' programs.
constexpr int kEchoPipe = 1;
constexpr int kSinkPipe = 2;
constexpr int kSourcePipe = 3;

// One attached device as the device functions report it.
struct DeviceEntry {
    int number = -1;
    bool boot_mode = false;
    int type = -1;            // 1 for "T", 0 for "C", -1 unknown
    std::string hardware_id;  // normal mode only
    std::string id;
    bool info_read = false;
    std::string location;  // "bus-port.port", or empty
    bool in_use = false;   // a connection, here or in another program, holds it

    std::string mode_name() const { return boot_mode ? "boot" : "normal"; }
    std::string type_letter() const { return type == 1 ? "T" : type == 0 ? "C" : "-"; }
};

// Owns the emulated bus when there is one, which makes it the process's
// device host for as long as the Bus object lives. Create it before any
// connection and destroy it after the last.
class Bus {
public:
    explicit Bus(const EmulationOptions& options);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool emulated() const { return bus_ != nullptr; }

    // Every attached device in device-number order.
    std::vector<DeviceEntry> devices() const;
    // Device `number`, or a Failure saying why there is none (with what to
    // do about it: the udev rule when a device is there but this user may not
    // open it, the device list otherwise).
    DeviceEntry device(int number) const;
    // The number of devices in boot mode: they come first in the numbering.
    int boot_count() const;

    // Emulated bus only: the tally of the sink of the device with this
    // hardware ID, or null.
    std::shared_ptr<zorbel::SinkTally> sink_tally(const std::string& hardware_id) const;
    // Emulated bus only: called with the bytes a transfer has moved so far;
    // unplugs the device once the fault option says so.
    void transfer_progress(const std::string& hardware_id, std::uint64_t bytes);

private:
    EmulationOptions options_;
    std::unique_ptr<zorbel::EmulatedBus> bus_;
    std::map<std::string, zorbel::EmulatedDevice> by_hardware_id_;
    std::map<std::string, std::shared_ptr<zorbel::SinkTally>> sinks_;
    std::atomic<bool> unplugged_{false};  // transfers report from two threads

    // The hot-plug timer (EmulationOptions::arrive_after_ms, leave_after_ms).
    void run_hotplug_timer(std::vector<zorbel::EmulatedDevice> devices);
    std::mutex timer_mutex_;
    std::condition_variable timer_stop_;
    bool stopping_ = false;  // under timer_mutex_
    std::thread timer_;
};

// The entry of a device as the library lists it.
DeviceEntry entry_of(const zorbel::DeviceInfo& device);

// The library's error code as a word for scripts ("busy", "timed_out").
std::string error_code_name(const std::error_code& code);

// The library's failure about device `number` as the tool's one line, with
// what the user can do about it where the reason suggests something.
[[noreturn]] void fail_with(const zorbel::Error& error, int number);
// The same for a device named otherwise (by_number false: a hardware ID, ID
// or place).
[[noreturn]] void fail_with(const zorbel::Error& error, const std::string& device, bool by_number = false);

}  // namespace zorbel_tool

#endif
