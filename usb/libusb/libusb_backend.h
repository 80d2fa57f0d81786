// The device host on real hardware: devices reached through libusb-1.0.
//
// Discovery lists the devices with vendor 0x0B66 and the product of the kind
// asked for (0x0041 normal, 0x0040 boot loader), sorted by bus number and then
// by the port path from the root hub, so an index names the same device for
// as long as nothing is plugged or unplugged. A device may be open several
// times at once; the handle that first moves bulk data holds interface 0
// until it closes. The requests travel as usb_mapping.h describes.
//
// The bus walk reads sysfs (/sys/bus/usb/devices) rather than opening hubs:
// the kernel keeps every hub's port count and every device's descriptor
// fields there, readable by any user, whatever driver a device is bound to.
// Controllers are the root hubs ("usbN") in ascending bus number; a hub's
// name is its sysfs name ("usb3", "3-1", "3-1.4").
//
// Thread-safety: every operation may be called from any thread. One libusb
// context per backend, with one event thread that completes every transfer
// and delivers hot-plug departures; it is joined when the backend and the
// last handle opened through it are gone.
#ifndef ZORBEL_USB_LIBUSB_LIBUSB_BACKEND_H
#define ZORBEL_USB_LIBUSB_LIBUSB_BACKEND_H

#include <memory>
#include <string>

#include "usb/host.h"
#include "usb/libusb/usb_mapping.h"

namespace zorbel {
namespace host {

class LibusbContext;

class LibusbBackend : public Backend {
public:
    // Starts a libusb context and its event thread. A machine without usbfs
    // still gives a working backend, one without devices. A bulk write the
    // device has not taken after `write_timeout_ms` fails.
    explicit LibusbBackend(unsigned int write_timeout_ms = usbmap::kWriteTimeoutMs);
    ~LibusbBackend() override;
    LibusbBackend(const LibusbBackend&) = delete;
    LibusbBackend& operator=(const LibusbBackend&) = delete;

    std::shared_ptr<DeviceHandle> open(int kind, int index, OpenFailure& failure) override;
    std::string location(int kind, int index) override;
    // From libusb's hot-plug events, where the platform has them.
    std::shared_ptr<void> watch(std::function<void()> changed) override;
    bool root_hub_name(int controller, std::string& hub) override;
    bool hub_port_count(const std::string& hub, int& ports) override;
    bool port_info(const std::string& hub, int port, PortInfo& info) override;
    bool port_hub_name(const std::string& hub, int port, std::string& name) override;

    // The number of devices of `kind` present now (for tests and the tool).
    int count(int kind);

private:
    std::shared_ptr<LibusbContext> context_;
    const unsigned int write_timeout_ms_;
};

}  // namespace host
}  // namespace zorbel

#endif
