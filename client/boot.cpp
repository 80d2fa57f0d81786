// boot(): the image to the boot loader, then the wait for the device to come
// back in normal mode.
#include <algorithm>
#include <climits>
#include <set>
#include <thread>
#include <vector>

#include "client/bus_changes.h"
#include "client/scan.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace {

DeviceInfo boot_device(const DeviceSelector& selector, const void* image, std::size_t size,
                       std::chrono::milliseconds timeout, const BootProgress& progress, std::error_code* ec) {
    using Clock = std::chrono::steady_clock;
    detail::Outcome outcome;
    auto finish = [&]() {
        outcome.report(ec);
        return DeviceInfo();
    };
    if ((image == nullptr && size > 0) || size > static_cast<std::size_t>(INT_MAX)) {
        outcome.fail(errc::invalid_argument, "the boot image is missing or larger than 2 GiB");
        return finish();
    }
    detail::BusChanges changes;  // before the hand-over, so the return is not missed
    detail::Scan scan = detail::scan_devices();
    const detail::ScannedDevice* chosen = detail::select_device(scan, selector, outcome);
    if (!chosen) return finish();
    const std::string name = "device " + std::to_string(chosen->info.number);
    if (chosen->info.mode != DeviceMode::boot) {
        outcome.fail(errc::wrong_mode,
                     name + " is in normal mode already; only a device in boot mode takes an image");
        return finish();
    }
    // The device comes back as a normal-mode device that was not there
    // before: a hardware ID that no normal-mode device had, at a place where
    // none was (a device whose record could not be read then is still told
    // apart by its place). Among several such, the one where the boot-mode
    // device was plugged.
    const std::string place = chosen->info.location;
    std::set<std::string> ids_before;
    std::set<std::string> places_before;
    for (const detail::ScannedDevice& d : scan.devices) {
        if (d.info.mode != DeviceMode::normal) continue;
        ids_before.insert(d.info.hardware_id);
        if (!d.info.location.empty()) places_before.insert(d.info.location);
    }

    if (progress && !progress(BootStage::handing_over)) {
        outcome.fail(errc::cancelled, "booting " + name);
        return finish();
    }
    detail::clear_last_error();
    const int result = Boot_Zorbel(chosen->kind_index, const_cast<void*>(image), static_cast<int>(size));
    if (result != 0) {
        outcome.fail_from_classic(errc::device_gone, "booting " + name);
        return finish();
    }

    const Clock::time_point began = Clock::now();
    for (;;) {
        const DeviceInfo* found = nullptr;
        std::vector<detail::ScannedDevice> now = detail::scan_devices().devices;
        // While the boot loader is still at its place, the device has not
        // come back yet, whatever else has arrived.
        const bool loader_there =
            !place.empty() && std::any_of(now.begin(), now.end(), [&](const detail::ScannedDevice& d) {
                return d.info.mode == DeviceMode::boot && d.info.location == place;
            });
        for (const detail::ScannedDevice& d : now) {
            if (loader_there) break;
            const DeviceInfo& i = d.info;
            if (i.mode != DeviceMode::normal || i.hardware_id.empty() ||
                ids_before.count(i.hardware_id) != 0 || places_before.count(i.location) != 0)
                continue;
            if (!found || (!place.empty() && i.location == place)) found = &i;
        }
        if (found) {
            outcome.report(ec);
            return *found;
        }
        if (progress && !progress(BootStage::restarting)) {
            outcome.fail(errc::cancelled, "waiting for " + name + " to restart");
            break;
        }
        const auto left =
            timeout - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
        if (left <= std::chrono::milliseconds(0)) {
            outcome.fail(errc::timed_out, name + " took the image but was not back in normal mode in time");
            break;
        }
        changes.wait(std::min(left, std::chrono::milliseconds(50)));
    }
    return finish();
}

}  // namespace

DeviceInfo boot(const DeviceSelector& selector, const void* image, std::size_t size,
                std::chrono::milliseconds timeout, const BootProgress& progress) {
    return boot_device(selector, image, size, timeout, progress, nullptr);
}

DeviceInfo boot(const DeviceSelector& selector, const void* image, std::size_t size,
                std::chrono::milliseconds timeout, const BootProgress& progress, std::error_code& ec) {
    return boot_device(selector, image, size, timeout, progress, &ec);
}

}  // namespace zorbel
