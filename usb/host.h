// The device host: the one seam between the portable library and whatever
// reaches devices on this machine. Each backend (libusb for real hardware,
// the emulated bus for tests and for users without hardware) implements the
// two classes below; nothing outside usb/ and the backends knows which one
// runs.
//
// The rest of the library needs of a backend: a per-kind list of present
// devices in a stable order, an open operation yielding a handle, four
// requests on it (read, write, information record, boot), a read that another
// thread can cancel, closing that ends every outstanding request, and for the
// bus walk the ports of every hub with their connection status, vendor and
// product IDs.
#ifndef ZORBEL_USB_HOST_H
#define ZORBEL_USB_HOST_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zorbel {
namespace host {

constexpr unsigned int kInfoRecordSize = 44;

// Where an open device sits on the bus: the numbers a USB capture of its
// transfers names it by. 0 where the backend cannot tell.
struct UsbAddress {
    std::uint16_t bus = 0;
    std::uint8_t device = 0;
};

// An open device. Shared ownership: the transport, the reader thread and a
// flush on a client thread may each hold it while another thread closes it;
// the object lives until the last of them lets go, and every request after
// close() fails.
class DeviceHandle {
public:
    virtual ~DeviceHandle() = default;

    // Called by the reader thread, one read at a time. Blocks until bytes
    // from the device are in `buf` and returns their count (1..len). Returns
    // -1 when the device is gone, the handle is closed, or the read was
    // cancelled.
    virtual long read(unsigned char* buf, unsigned int len) = 0;

    // Called from any thread. Ends the read under way with -1; when none is
    // under way, the next read returns -1 at once (so a cancel that races
    // with the start of a read is never lost).
    virtual void cancel_read() = 0;

    // Called under the block engine's output mutex (one writer at a time).
    // Sends `len` bytes (1..4096) as one transfer; returns the count sent, or
    // -1 on failure.
    virtual long write(const unsigned char* data, unsigned int len) = 0;

    // False only when write() hands the transfer on and returns without
    // waiting for the device to read it (the emulated bus queues it on its
    // lane). A real device may read its OUT endpoint only after the host has
    // read its IN data, so a backend for hardware keeps the default.
    virtual bool write_waits_for_peer() const { return true; }

    // The bus and device numbers, for captures of the handle's transfers.
    virtual UsbAddress address() const { return {}; }

    // Normal-mode devices: fills the 44-byte information record (22 UTF-16LE
    // code units: type letter, 12-character hardware ID, 2 unused, 7-character
    // ID). False when the request fails.
    virtual bool get_info(unsigned char* record) = 0;

    // Boot-mode devices: hands over the image. 0 when the device took it,
    // 1 when it refused it, -1 when the request failed.
    virtual int boot(const void* image, unsigned int size) = 0;

    // Called from any thread, any number of times. Ends every outstanding
    // request (they return failure); every later request fails.
    virtual void close() = 0;
};

// One port of a hub, as the bus walk sees it.
struct PortInfo {
    bool connected = false;  // a device is attached and enumerated
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    bool is_hub = false;
};

// Why Backend::open gave no handle. The backend knows; nobody above it has to
// guess again (a device node without permission looks like no device at all
// from the device functions).
enum class OpenFailure {
    none,               // opened
    no_device,          // nothing of that kind at that index (or it left)
    permission_denied,  // there, but this user may not open it
    busy,               // there, but held exclusively by someone else
    io_error,           // there, but the open failed otherwise
};

// A backend: device discovery and the bus walk. Every operation may be called
// from any thread at any time, also while handles are open; none caches.
class Backend {
public:
    virtual ~Backend() = default;

    // Opens the device of `kind` (0 normal, anything else boot) at position
    // `index` of that kind's list of present devices. Null when there is no
    // such device or it cannot be opened, with the reason in `failure`
    // (none after a successful open).
    virtual std::shared_ptr<DeviceHandle> open(int kind, int index, OpenFailure& failure) = 0;

    // Where the device of `kind` at `index` is attached: the bus (host
    // controller) number from 1, a dash, then the port on each hub from the
    // root down, dot-separated ("1-4.2"). Empty when there is no such device.
    virtual std::string location(int kind, int index) = 0;

    // Calls `changed` whenever a device of ours arrives or leaves, until the
    // returned token is released. Called on a thread of the backend, possibly
    // with its locks held: it must only note the change and return, and may
    // run once more while the token is being released, so it captures what
    // it touches by shared ownership. Null when this backend cannot tell;
    // callers then look again now and then.
    // By value: a backend that can tell keeps the callback.
    virtual std::shared_ptr<void> watch(
        std::function<void()> /*changed*/) {  // NOLINT(performance-unnecessary-value-param)
        return nullptr;
    }

    // The bus walk, in the terms of USB host controllers and hubs.
    // Controller 0..9: the name of its root hub, false when there is no such
    // controller or its root hub's name cannot be read.
    virtual bool root_hub_name(int controller, std::string& hub) = 0;
    // The number of ports of a hub, false when it cannot be opened or read.
    virtual bool hub_port_count(const std::string& hub, int& ports) = 0;
    // Port 1..ports of a hub; false when the port cannot be read.
    virtual bool port_info(const std::string& hub, int port, PortInfo& info) = 0;
    // The name of the hub attached at a port; false when it cannot be read.
    virtual bool port_hub_name(const std::string& hub, int port, std::string& name) = 0;

    // Where claims on this backend's devices live: empty for real devices,
    // whose claims every process on the machine shares. A backend whose
    // devices exist only inside one process (an emulated bus) names a scope,
    // so that two programs each with an emulated device of the same ID do
    // not take each other's claim.
    virtual std::string claim_scope() { return std::string(); }
};

// The backend in force: the newest emulated bus alive in the process,
// otherwise the platform's backend (or one with no devices where there is
// none). The returned pointer keeps the backend alive while it is used.
std::shared_ptr<Backend> current_backend();

// Installs a backend in front of the platform's (the emulated bus does this
// while it lives); removing it gives way to the one installed before it.
void push_backend(std::shared_ptr<Backend> backend);
void remove_backend(const Backend* backend);

}  // namespace host
}  // namespace zorbel

#endif
