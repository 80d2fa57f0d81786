// The bus walk's primitives over Linux sysfs.
//
// /sys/bus/usb/devices holds one entry per USB device, named by its place on
// the bus: "usbN" for the root hub of bus N, "N-p" for the device at port p
// of that root hub, "N-p.q" for port q of the hub at N-p, and so on. Each
// holds the descriptor fields as text (idVendor, idProduct and bDeviceClass
// in hex, maxchild, a hub's port count, in decimal). Interface entries
// ("N-p:1.0") sit in the same folder and are skipped. Only enumerated devices
// appear, so a port is connected exactly when its entry exists.
//
// Thread-safety: stateless; any thread.
#ifndef ZORBEL_USB_LIBUSB_SYSFS_WALK_H
#define ZORBEL_USB_LIBUSB_SYSFS_WALK_H

#include <string>

#include "usb/host.h"

namespace zorbel {
namespace host {
namespace sysfs {

constexpr const char* kUsbDevices = "/sys/bus/usb/devices";

// Controller 0..9: the i-th root hub in ascending bus number.
bool root_hub_name(const std::string& root, int controller, std::string& hub);
bool hub_port_count(const std::string& root, const std::string& hub, int& ports);
bool port_info(const std::string& root, const std::string& hub, int port, PortInfo& info);
bool port_hub_name(const std::string& root, const std::string& hub, int port, std::string& name);

}  // namespace sysfs
}  // namespace host
}  // namespace zorbel

#endif
