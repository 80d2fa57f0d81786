#include "bus.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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
    if (options.unplug_after > 0) {
        // The emulated device that is unplugged never comes back, so there is
        // nothing to gain from the reconnection's full patience.
        USBSeqDriver::open_retry_pause.store(10);
    }
}

Bus::~Bus() = default;

std::vector<DeviceEntry> Bus::devices() const {
    std::vector<DeviceEntry> list;
    // Device numbers are contiguous: boot-mode devices, then normal-mode ones.
    for (int n = 0; n < 8; ++n) {
        int state = Get_Zorbel_State(n);
        if (state < 0) break;
        DeviceEntry e;
        e.number = n;
        e.boot_mode = state == 1;
        if (!e.boot_mode) {
            int type = -1;
            char id[8] = {};
            char hardware_id[13] = {};
            e.info_read = Get_Zorbel_Info(n, &type, id, hardware_id);
            if (e.info_read) {
                e.type = type;
                e.id = id;
                e.hardware_id = hardware_id;
            }
        }
        list.push_back(e);
    }
    return list;
}

int Bus::boot_count() const {
    int count = 0;
    for (int n = 0; n < 8 && Get_Zorbel_State(n) == 1; ++n) ++count;
    return count;
}

DeviceEntry Bus::device(int number) const {
    if (number >= 0) {
        for (const DeviceEntry& e : devices())
            if (e.number == number) return e;
    }
    if (!emulated()) {
        std::string node = unopenable_device_node();
        if (!node.empty())
            throw Failure(fmt::format("no such device: {}; {}", number, permission_advice(node)));
    }
    int count = static_cast<int>(devices().size());
    if (count == 0)
        throw Failure(
            fmt::format("no such device: {}; no device is attached (connect one, or try --emulate)", number));
    throw Failure(fmt::format("no such device: {}; device numbers run from 0 to {} (see 'zorbel list')",
                              number, count - 1));
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

std::string unopenable_device_node() {
    namespace fs = std::filesystem;
    std::error_code ec;
    auto read_line = [](const fs::path& p) {
        std::ifstream in(p);
        std::string s;
        std::getline(in, s);
        return s;
    };
    // sysfs lists every USB device with its IDs and its node numbers whether
    // or not this user may open the node itself.
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", ec)) {
        const fs::path& dir = entry.path();
        if (read_line(dir / "idVendor") != "0b66") continue;
        std::string product = read_line(dir / "idProduct");
        if (product != "0040" && product != "0041") continue;
        std::string bus = read_line(dir / "busnum");
        std::string dev = read_line(dir / "devnum");
        if (bus.empty() || dev.empty()) continue;
        std::string node = fmt::format("/dev/bus/usb/{:03}/{:03}", std::strtol(bus.c_str(), nullptr, 10),
                                       std::strtol(dev.c_str(), nullptr, 10));
        if (access(node.c_str(), R_OK | W_OK) != 0) return node;
    }
    return "";
}

std::string permission_advice(const std::string& node) {
    return fmt::format(
        "a device is attached but this user may not open {}: install the udev rule "
        "(sudo cp usb/udev/70-zorbel.rules /etc/udev/rules.d/ && sudo udevadm control --reload), "
        "then plug the device in again",
        node);
}

}  // namespace zorbel_tool
