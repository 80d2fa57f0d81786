// Listing devices and choosing one by a selector.
#include <cctype>
#include <string>

#include "client/scan.h"
#include "control/device_claim.h"
#include "usb/discovery.h"
#include "usb/info_record.h"
#include "zorbel/usb.h"

namespace zorbel {

const char* mode_name(DeviceMode mode) { return mode == DeviceMode::boot ? "boot" : "normal"; }

DeviceSelector::DeviceSelector(int number) : is_number_(true), number_(number) {}
DeviceSelector::DeviceSelector(std::string text) : is_number_(false), text_(std::move(text)) {}
DeviceSelector::DeviceSelector(const char* text) : is_number_(false), text_(text ? text : "") {}

DeviceSelector DeviceSelector::parse(const std::string& text) {
    // Device numbers are small; IDs are seven digits, so a short run of
    // digits can only be a number.
    bool digits = !text.empty() && text.size() <= 3;
    for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (digits) return DeviceSelector(std::stoi(text));
    return DeviceSelector(text);
}

bool DeviceSelector::matches(const DeviceInfo& device) const {
    if (is_number_) return device.number == number_;
    if (text_.empty()) return false;
    return device.hardware_id == text_ || device.id == text_ || device.location == text_;
}

std::string DeviceSelector::describe() const {
    return "device " + (is_number_ ? std::to_string(number_) : text_);
}

namespace detail {

Scan scan_devices() {
    Scan scan;
    std::shared_ptr<host::Backend> backend = host::current_backend();  // one backend for the whole look
    int number = 0;
    for (int kind : {DEVICE_KIND_BOOT, DEVICE_KIND_NORMAL}) {
        for (int j = 0; j < 4; ++j) {
            host::OpenFailure why = host::OpenFailure::none;
            std::shared_ptr<host::DeviceHandle> handle = backend->open(kind, j, why);
            note_worse_failure(scan.worst, why);
            if (!handle) continue;
            ScannedDevice d;
            d.kind_index = j;
            d.info.number = number++;
            d.info.mode = kind == DEVICE_KIND_BOOT ? DeviceMode::boot : DeviceMode::normal;
            d.info.location = backend->location(kind, j);
            unsigned char record[host::kInfoRecordSize] = {};
            if (kind == DEVICE_KIND_NORMAL && handle->get_info(record)) {
                int type = -1;
                char id[8] = {};
                char hardware_id[13] = {};
                decode_info_record(record, &type, id, hardware_id);
                d.info.type = type == 1 ? 'T' : type == 0 ? 'C' : 0;
                d.info.id = id;
                d.info.hardware_id = hardware_id;
                d.info.in_use = DeviceClaim::held(DeviceClaim::name_for_id(id));
            }
            handle->close();
            scan.devices.push_back(std::move(d));
        }
    }
    return scan;
}

const ScannedDevice* select_device(const Scan& scan, const DeviceSelector& selector, Outcome& outcome) {
    const ScannedDevice* found = nullptr;
    int matches = 0;
    for (const ScannedDevice& d : scan.devices) {
        if (!selector.matches(d.info)) continue;
        if (++matches == 1) found = &d;
    }
    if (matches == 1) return found;
    if (matches > 1) {
        outcome.fail(errc::ambiguous_selector, selector.describe() + " (" + std::to_string(matches) +
                                                   " devices match; name one by number)");
        return nullptr;
    }
    if (scan.worst == host::OpenFailure::permission_denied) {
        outcome.fail(errc::permission_denied,
                     selector.describe() +
                         " (a device is attached that this user may not open: install the udev rule "
                         "70-zorbel.rules and plug the device in again)");
    } else if (scan.devices.empty()) {
        outcome.fail(errc::no_such_device, selector.describe() + " (no device is attached)");
    } else {
        outcome.fail(errc::no_such_device, selector.describe());
    }
    return nullptr;
}

}  // namespace detail

std::vector<DeviceInfo> list_devices() {
    std::vector<DeviceInfo> list;
    for (detail::ScannedDevice& d : detail::scan_devices().devices) list.push_back(std::move(d.info));
    return list;
}

namespace {
DeviceInfo find(const DeviceSelector& selector, std::error_code* ec) {
    detail::Outcome outcome;
    detail::Scan scan = detail::scan_devices();
    const detail::ScannedDevice* d = detail::select_device(scan, selector, outcome);
    outcome.report(ec);
    return d ? d->info : DeviceInfo();
}
}  // namespace

DeviceInfo find_device(const DeviceSelector& selector) { return find(selector, nullptr); }
DeviceInfo find_device(const DeviceSelector& selector, std::error_code& ec) { return find(selector, &ec); }

}  // namespace zorbel
