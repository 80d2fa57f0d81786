#include "bus.h"

#include <chrono>
#include <cstdlib>

#include <fmt/format.h>

#include "failure.h"

namespace zorbel_tool {

Bus::Bus(const EmulationOptions& options) : options_(options) {
    if (!options.enabled) return;
    bus_ = std::make_unique<zorbel::EmulatedBus>();
    if (!options.claim_scope.empty()) bus_->set_claim_scope(options.claim_scope);
    int devices = options.boot_devices + options.normal_devices;
    int root = bus_->add_controller(devices > 4 ? devices : 4);

    zorbel::LaneSettings lane;
    lane.delay_us = options.delay_us;
    lane.bandwidth = options.bandwidth;
    lane.corrupt_byte = options.corrupt_rate;
    lane.drop_transfer = options.drop_rate;
    lane.duplicate_transfer = options.duplicate_rate;

    // Boot-mode devices first, so that they are device numbers 0, 1, ...
    // as on a real bus; hardware IDs and IDs count up from 1 in that order.
    for (int i = 0; i < devices; ++i) {
        zorbel::EmulatedDeviceSettings s;
        s.boot_mode = i < options.boot_devices;
        s.hardware_id = fmt::format("ZB{:010}", i + 1);
        s.id = fmt::format("{:07}", i + 1);
        s.boot_delay_ms = options.boot_delay_ms;
        s.to_device = lane;
        s.to_host = lane;
        s.to_device.seed = options.seed + 2 * static_cast<std::uint64_t>(i);
        s.to_host.seed = options.seed + 2 * static_cast<std::uint64_t>(i) + 1;
        zorbel::EmulatedDevice device = bus_->add_device(root, i + 1, s);
        auto tally = std::make_shared<zorbel::SinkTally>();
        // Bound in boot mode too: the programs start once the device is booted.
        // A program waits for its pipe from the start, so the bindings are
        // made here, once, rather than changed later.
        for (const auto& [pipe, program] : options.programs) {
            if (program == "echo") device.bind(pipe, zorbel::echo_program());
            if (program == "sink") device.bind(pipe, zorbel::sink_program(tally));
            if (program == "source") device.bind(pipe, zorbel::source_program());
        }
        by_hardware_id_[s.hardware_id] = device;
        sinks_[s.hardware_id] = tally;
    }
    if (options.arrive_after_ms > 0 || options.leave_after_ms > 0) {
        std::vector<zorbel::EmulatedDevice> normal;
        for (auto& [id, device] : by_hardware_id_)
            if (!device.boot_mode()) normal.push_back(device);
        // Out of the lists before anything looks, back in on the timer.
        if (options.arrive_after_ms > 0)
            for (zorbel::EmulatedDevice& d : normal) d.unplug();
        timer_ = std::thread([this, normal] { run_hotplug_timer(normal); });
    }
    if (options.unplug_after > 0) {
        // The emulated device that is unplugged never comes back, so there is
        // nothing to gain from the reconnection's full patience.
        USBSeqDriver::open_retry_pause.store(10);
    }
}

Bus::~Bus() {
    if (!timer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(timer_mutex_);
        stopping_ = true;
    }
    timer_stop_.notify_all();
    timer_.join();
}

void Bus::run_hotplug_timer(std::vector<zorbel::EmulatedDevice> devices) {
    const auto start = std::chrono::steady_clock::now();
    auto sleep_until = [&](unsigned int ms) {
        std::unique_lock<std::mutex> lock(timer_mutex_);
        return !timer_stop_.wait_until(lock, start + std::chrono::milliseconds(ms),
                                       [this] { return stopping_; });
    };
    if (options_.arrive_after_ms > 0) {
        if (!sleep_until(options_.arrive_after_ms)) return;
        for (zorbel::EmulatedDevice& d : devices) d.plug();
    }
    if (options_.leave_after_ms > 0) {
        if (!sleep_until(options_.leave_after_ms)) return;
        for (zorbel::EmulatedDevice& d : devices) d.unplug();
    }
}

DeviceEntry entry_of(const zorbel::DeviceInfo& device) {
    DeviceEntry e;
    e.number = device.number;
    e.boot_mode = device.mode == zorbel::DeviceMode::boot;
    e.info_read = !e.boot_mode && !device.hardware_id.empty();
    e.type = device.type == 'T' ? 1 : device.type == 'C' ? 0 : -1;
    e.hardware_id = device.hardware_id;
    e.id = device.id;
    e.location = device.location;
    e.in_use = device.in_use;
    return e;
}

std::vector<DeviceEntry> Bus::devices() const {
    std::vector<DeviceEntry> list;
    for (const zorbel::DeviceInfo& d : zorbel::list_devices()) list.push_back(entry_of(d));
    return list;
}

int Bus::boot_count() const {
    int count = 0;
    for (const DeviceEntry& e : devices()) count += e.boot_mode ? 1 : 0;
    return count;
}

std::string error_code_name(const std::error_code& code) {
    if (code.category() != zorbel::error_category()) return "failed";
    switch (static_cast<zorbel::errc>(code.value())) {
        case zorbel::errc::no_such_device:
            return "no_such_device";
        case zorbel::errc::ambiguous_selector:
            return "ambiguous_selector";
        case zorbel::errc::wrong_mode:
            return "wrong_mode";
        case zorbel::errc::busy:
            return "busy";
        case zorbel::errc::permission_denied:
            return "permission_denied";
        case zorbel::errc::device_gone:
            return "device_gone";
        case zorbel::errc::timed_out:
            return "timed_out";
        case zorbel::errc::cancelled:
            return "cancelled";
        case zorbel::errc::invalid_argument:
            return "invalid_argument";
        case zorbel::errc::io_error:
            return "io_error";
    }
    return "failed";
}

void fail_with(const zorbel::Error& error, int number) { fail_with(error, std::to_string(number), true); }

void fail_with(const zorbel::Error& error, const std::string& device, bool by_number) {
    const std::string& number = device;
    const std::error_code code = error.code();
    const std::string name = error_code_name(code);
    if (code == zorbel::errc::permission_denied)
        throw Failure(
            fmt::format(
                "no such device: {}; a device is attached but this user may not open it: install the udev "
                "rule "
                "(sudo cp usb/udev/70-zorbel.rules /etc/udev/rules.d/ && sudo udevadm control --reload), "
                "then plug the device in again",
                number),
            kExitFailed, name);
    if (code == zorbel::errc::no_such_device) {
        const std::size_t count = zorbel::list_devices().size();
        if (count == 0)
            throw Failure(
                fmt::format("no such device: {}; no device is attached (connect one, or try --emulate)",
                            number),
                kExitFailed, name);
        if (!by_number)
            throw Failure(fmt::format("no such device: {}; see 'zorbel list'", device), kExitFailed, name);
        throw Failure(fmt::format("no such device: {}; device numbers run from 0 to {} (see 'zorbel list')",
                                  number, count - 1),
                      kExitFailed, name);
    }
    if (code == zorbel::errc::busy)
        throw Failure(
            fmt::format("device {} is in use by another program; stop that program and try again", number),
            kExitFailed, name);
    throw Failure(error.what(), kExitFailed, name);
}

DeviceEntry Bus::device(int number) const {
    try {
        return entry_of(zorbel::find_device(number));
    } catch (const zorbel::Error& e) {
        fail_with(e, number);
    }
}

std::shared_ptr<zorbel::SinkTally> Bus::sink_tally(const std::string& hardware_id) const {
    auto it = sinks_.find(hardware_id);
    return it == sinks_.end() ? nullptr : it->second;
}

void Bus::transfer_progress(const std::string& hardware_id, std::uint64_t bytes) {
    if (!emulated() || options_.unplug_after == 0 || bytes < options_.unplug_after) return;
    auto it = by_hardware_id_.find(hardware_id);
    if (it == by_hardware_id_.end() || unplugged_.exchange(true)) return;
    it->second.unplug();
}

}  // namespace zorbel_tool
