// The device host on Windows: devices reached through their kernel driver.
//
// Discovery enumerates the driver's interface class of the kind asked for
// (SetupAPI, present interfaces only) and opens the device at the path the
// system reports: once without flags as a presence test, closed again, then
// for the caller, with overlapped I/O for a normal-mode device (its reader's
// read must be cancellable from another thread). The requests are the
// driver's four I/O controls (windows_handle.h).
//
// The bus walk asks the system's USB stack: host controllers \\.\HCD0 to
// \\.\HCD9, their root hubs and every hub's ports, whatever driver a device
// is bound to. A hub's name is the one the stack reports (the root hub's, or
// the one of the hub at a port); the walk hands it back, and it is opened as
// \\.\ followed by the name.
//
// location() finds the device's place by its driver key: the key its
// SPDRP_DRIVER registry property names is the one the USB stack reports
// (IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) for the port it sits on,
// looked for in a walk of the bus over the ports of the kind's product ID.
// Empty when no port has it.
//
// No hot-plug events: watch() is null and callers poll.
//
// Every Win32 device call goes through the table in force when the call (or,
// for a handle, its open) is made (win32_device_calls.h), so a test can put a
// fake of the kernel driver below it.
//
// Thread-safety: every operation from any thread; no state is kept between
// calls.
#ifndef ZORBEL_USB_WINDOWS_WINDOWS_BACKEND_H
#define ZORBEL_USB_WINDOWS_WINDOWS_BACKEND_H

#include <memory>
#include <string>

#include "usb/host.h"

namespace zorbel {
namespace host {

class WindowsBackend final : public Backend {
public:
    std::shared_ptr<DeviceHandle> open(int kind, int index, OpenFailure& failure) override;
    std::string location(int kind, int index) override;
    bool root_hub_name(int controller, std::string& hub) override;
    bool hub_port_count(const std::string& hub, int& ports) override;
    bool port_info(const std::string& hub, int port, PortInfo& info) override;
    bool port_hub_name(const std::string& hub, int port, std::string& name) override;
};

}  // namespace host
}  // namespace zorbel

#endif
