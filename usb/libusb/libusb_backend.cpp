#include "usb/libusb/libusb_backend.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "support/log.h"
#include "usb/libusb/libusb_handle.h"
#include "usb/libusb/sysfs_walk.h"
#include "usb/platform.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {

// --- discovery -----------------------------------------------------------------

namespace {

// The device list of one look at the bus, released when it goes.
class DeviceList {
public:
    explicit DeviceList(libusb_context* ctx) {
        if (ctx != nullptr) {
            const ssize_t n = libusb_get_device_list(ctx, &list_);
            count_ = n > 0 ? n : 0;
        }
    }
    ~DeviceList() {
        if (list_ != nullptr) libusb_free_device_list(list_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    libusb_device** begin() const { return list_; }
    libusb_device** end() const { return list_ + count_; }

private:
    libusb_device** list_ = nullptr;
    ssize_t count_ = 0;
};

struct Placed {
    std::vector<std::uint8_t> place;  // bus number, then the port path
    libusb_device* device;
};

// The present devices of a kind in the stable order: bus number, then port
// path. The devices stay valid while `list` lives.
std::vector<Placed> devices_of_kind(const DeviceList& list, int kind) {
    const std::uint16_t product =
        kind == DEVICE_KIND_NORMAL ? ZORBEL_USB_PRODUCT_NORMAL : ZORBEL_USB_PRODUCT_BOOT;
    std::vector<Placed> found;
    for (libusb_device* dev : list) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) != 0) continue;
        if (desc.idVendor != ZORBEL_USB_VENDOR_ID || desc.idProduct != product) continue;
        std::uint8_t ports[8];  // USB allows at most 7 tiers below the root
        const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
        Placed p{{libusb_get_bus_number(dev)}, dev};
        if (depth > 0) p.place.insert(p.place.end(), ports, ports + depth);
        found.push_back(std::move(p));
    }
    std::sort(found.begin(), found.end(), [](const Placed& a, const Placed& b) { return a.place < b.place; });
    return found;
}

// "bus-port.port...", as the kernel names a USB device in sysfs.
std::string place_text(const std::vector<std::uint8_t>& place) {
    if (place.empty()) return std::string();
    std::string text = std::to_string(place[0]);
    for (std::size_t i = 1; i < place.size(); ++i) text += (i == 1 ? "-" : ".") + std::to_string(place[i]);
    return text;
}

}  // namespace

// --- the backend ---------------------------------------------------------------

LibusbBackend::LibusbBackend(unsigned int timeout_ms)
    : context_(std::make_shared<LibusbContext>()), write_timeout_ms_(timeout_ms) {}

LibusbBackend::~LibusbBackend() = default;

int LibusbBackend::count(int kind) {
    DeviceList list(context_->get());
    return static_cast<int>(devices_of_kind(list, kind).size());
}

std::shared_ptr<DeviceHandle> LibusbBackend::open(int kind, int index, OpenFailure& failure) {
    failure = OpenFailure::no_device;
    if (index < 0) return nullptr;
    DeviceList list(context_->get());
    const std::vector<Placed> devices = devices_of_kind(list, kind);
    if (static_cast<std::size_t>(index) >= devices.size()) return nullptr;
    libusb_device_handle* handle = nullptr;
    const int r = libusb_open(devices[index].device, &handle);
    if (r != 0) {
        switch (r) {
            case LIBUSB_ERROR_ACCESS:
                failure = OpenFailure::permission_denied;
                break;
            case LIBUSB_ERROR_NO_DEVICE:
                failure = OpenFailure::no_device;
                break;
            case LIBUSB_ERROR_BUSY:
                failure = OpenFailure::busy;
                break;
            default:
                failure = OpenFailure::io_error;
                break;
        }
        ZORBEL_LOG(LogLevel::debug, "cannot open the device at " << place_text(devices[index].place) << ": "
                                                                 << libusb_error_name(r));
        return nullptr;
    }
    failure = OpenFailure::none;
    return std::make_shared<LibusbHandle>(context_, handle, write_timeout_ms_);
}

std::string LibusbBackend::location(int kind, int index) {
    if (index < 0) return std::string();
    DeviceList list(context_->get());
    const std::vector<Placed> devices = devices_of_kind(list, kind);
    if (static_cast<std::size_t>(index) >= devices.size()) return std::string();
    return place_text(devices[index].place);
}

std::shared_ptr<void> LibusbBackend::watch(std::function<void()> changed) {
    return context_->watch(std::move(changed));
}

bool LibusbBackend::root_hub_name(int controller, std::string& hub) {
    return sysfs::root_hub_name(sysfs::kUsbDevices, controller, hub);
}

bool LibusbBackend::hub_port_count(const std::string& hub, int& ports) {
    return sysfs::hub_port_count(sysfs::kUsbDevices, hub, ports);
}

bool LibusbBackend::port_info(const std::string& hub, int port, PortInfo& info) {
    return sysfs::port_info(sysfs::kUsbDevices, hub, port, info);
}

bool LibusbBackend::port_hub_name(const std::string& hub, int port, std::string& name) {
    return sysfs::port_hub_name(sysfs::kUsbDevices, hub, port, name);
}

std::shared_ptr<Backend> make_platform_backend() { return std::make_shared<LibusbBackend>(); }

}  // namespace host
}  // namespace zorbel
