// Device discovery: a device is named by its kind (normal or boot mode) and
// its position in that kind's list of present devices. Nothing is cached;
// every call asks the backend in force afresh.
//
// Thread-safety: no state; any thread, also while a connection is open (a
// device may be open several times at once).
#ifndef ZORBEL_USB_DISCOVERY_H
#define ZORBEL_USB_DISCOVERY_H

#include <memory>

#include "usb/host.h"

namespace zorbel {

// Opens the device of `kind` (0 normal, any other value boot mode) at
// `index`, after the presence test below. Null when there is no such device
// or it cannot be opened; `failure`, when given, then says why. Every handle
// serves every request, a read that another thread cancels included.
std::shared_ptr<host::DeviceHandle> open_device(int kind, int index, host::OpenFailure* failure = nullptr);

// Whether the device of `kind` at `index` is present and can be opened: it is
// opened and closed again. A device that is listed but refuses the open
// counts as absent; `failure`, when given, says why.
bool device_present(int kind, int index, host::OpenFailure* failure = nullptr);

// Keeps the most telling reason among the opens of a scan: a device that is
// there but refused says more than an empty place.
void note_worse_failure(host::OpenFailure& kept, host::OpenFailure seen);

}  // namespace zorbel

#endif
