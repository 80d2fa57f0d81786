// One look at the attached devices, as the modern interface needs it: each
// device with its place in its kind's list (which the classic calls take),
// and the most telling reason an open failed along the way.
#ifndef ZORBEL_CLIENT_SCAN_H
#define ZORBEL_CLIENT_SCAN_H

#include <vector>

#include "client/outcome.h"
#include "usb/host.h"
#include "zorbel/client.h"

namespace zorbel {
namespace detail {

struct ScannedDevice {
    DeviceInfo info;
    int kind_index = -1;  // the index Boot_Zorbel and the backend take
};

struct Scan {
    std::vector<ScannedDevice> devices;
    host::OpenFailure worst = host::OpenFailure::none;
};

// Lists every device the classic numbering counts: enumeration indices 0..3
// of boot mode, then of normal mode, those that open.
Scan scan_devices();

// The one device of `scan` that `selector` names; null with the reason in
// `outcome` when none or several do.
const ScannedDevice* select_device(const Scan& scan, const DeviceSelector& selector, Outcome& outcome);

}  // namespace detail
}  // namespace zorbel

#endif
