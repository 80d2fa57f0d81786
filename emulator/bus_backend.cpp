// The emulated bus as the library's device host sees it: handles on its
// devices, the device lists, the hub tree for the bus walk, and claim scopes.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "emulator/bus_impl.h"
#include "support/platform_process.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace {

// A handle on one incarnation of a device. Every request fails once the
// handle is closed or the incarnation has ended (unplug, boot).
class EmulatedHandle final : public host::DeviceHandle {
public:
    EmulatedHandle(std::shared_ptr<EmulatedDeviceImpl> device, std::shared_ptr<emulator::Session> session,
                   host::UsbAddress address)
        : device_(std::move(device)), session_(std::move(session)), address_(address) {
        if (emulator::NormalSession* s = normal()) attachment_ = s->attachment();
    }
    ~EmulatedHandle() override { close(); }

    long read(unsigned char* buf, unsigned int len) override {
        emulator::NormalSession* s = normal();
        if (!s || !usable() || !buf || len == 0) return -1;
        return s->read(this, closed_, attachment_, buf, len);
    }

    void cancel_read() override {
        if (emulator::NormalSession* s = normal()) s->cancel_read(this);
    }

    long write(const unsigned char* data, unsigned int len) override {
        emulator::NormalSession* s = normal();
        if (!s || !usable() || !data) return -1;
        return s->write(data, len);
    }

    host::UsbAddress address() const override { return address_; }

    // The transfer is queued on the lane to the device and the call returns.
    bool write_waits_for_peer() const override { return false; }

    bool get_info(unsigned char* record) override {
        if (!normal() || !usable() || !record || device_->info_fails.load()) return false;
        device_->info_record(record);
        return true;
    }

    int boot(const void* image, unsigned int size) override {
        if (!session_->boot_mode || !usable()) return -1;
        if (!boot_image_valid(image, size)) return 1;
        device_->boots.fetch_add(1);
        device_->start_boot();
        return 0;
    }

    void close() override {
        closed_.store(true);
        if (emulator::NormalSession* s = normal()) s->end_read_of(this);
    }

private:
    // A handle belongs to one attachment of the device: one opened before the
    // cable was pulled stays dead after it is put back, as a real one does.
    bool usable() const {
        const emulator::NormalSession* s = normal();
        return !closed_.load() && session_->alive.load() && (!s || s->attachment() == attachment_);
    }
    emulator::NormalSession* normal() const {
        return session_->boot_mode ? nullptr : static_cast<emulator::NormalSession*>(session_.get());
    }

    std::shared_ptr<EmulatedDeviceImpl> device_;
    std::shared_ptr<emulator::Session> session_;
    const host::UsbAddress address_;
    unsigned attachment_ = 0;
    std::atomic<bool> closed_{false};
};

// Hubs other than Zorbel devices report some maker's IDs; these are made up
// and only need to differ from the Zorbel's.
constexpr std::uint16_t kHubVendor = 0x1209;
constexpr std::uint16_t kHubProduct = 0x0001;

}  // namespace

// --- bus: backend view ----------------------------------------------------

EmulatedBusImpl::~EmulatedBusImpl() { shut_down(); }

std::string EmulatedBusImpl::hub_name(int hub) { return "EMULATED#HUB#" + std::to_string(hub); }

const EmulatedBusImpl::Hub* EmulatedBusImpl::hub_by_name_locked(const std::string& name) const {
    static const std::string kPrefix = "EMULATED#HUB#";
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return nullptr;
    int id = std::atoi(name.c_str() + kPrefix.size());
    auto it = hubs_.find(id);
    return it == hubs_.end() || hub_name(id) != name ? nullptr : &it->second;
}

EmulatedBusImpl::Port* EmulatedBusImpl::port_locked(int hub, int port) {
    auto it = hubs_.find(hub);
    if (it == hubs_.end() || port < 1 || port > static_cast<int>(it->second.ports.size())) return nullptr;
    return &it->second.ports[port - 1];
}

std::vector<std::shared_ptr<EmulatedDeviceImpl>> EmulatedBusImpl::listed_locked(int kind) {
    bool boot = kind != DEVICE_KIND_NORMAL;
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> listed;
    for (auto& d : devices_snapshot())
        if (d->plugged.load() && d->boot_mode.load() == boot) listed.push_back(std::move(d));
    std::sort(listed.begin(), listed.end(),
              [](const std::shared_ptr<EmulatedDeviceImpl>& a, const std::shared_ptr<EmulatedDeviceImpl>& b) {
                  return a->arrival < b->arrival;
              });
    return listed;
}

std::shared_ptr<host::DeviceHandle> EmulatedBusImpl::open(int kind, int index, host::OpenFailure& failure) {
    detail::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> listed = listed_locked(kind);
    failure = host::OpenFailure::no_device;
    if (index < 0 || index >= static_cast<int>(listed.size())) return nullptr;
    const std::shared_ptr<EmulatedDeviceImpl>& d = listed[index];
    if (!d->session) return nullptr;
    // A refused open stands for a device node without permission, the way a
    // real device is listed yet cannot be opened.
    if (d->open_refused.load()) {
        failure = host::OpenFailure::permission_denied;
        return nullptr;
    }
    failure = host::OpenFailure::none;
    // The bus number leads the location ("2-1.3"). A device's address on a
    // real bus is handed out afresh at each enumeration, 1 going to the root
    // hub; the arrival count stands for that here.
    host::UsbAddress address;
    address.bus = static_cast<std::uint16_t>(std::atoi(location_locked(*d).c_str()));
    address.device = static_cast<std::uint8_t>(2 + (d->arrival - 1) % 126);
    return std::make_shared<EmulatedHandle>(d, d->session, address);
}

std::string EmulatedBusImpl::location(int kind, int index) {
    detail::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> listed = listed_locked(kind);
    if (index < 0 || index >= static_cast<int>(listed.size())) return std::string();
    return location_locked(*listed[index]);
}

std::string EmulatedBusImpl::location_locked(const EmulatedDeviceImpl& device) {
    // Climbs from the device's port to the root hub, then writes the path
    // down again as the kernel names USB devices: "bus-port.port".
    std::vector<int> ports{device.port};
    int hub = device.hub;
    for (int depth = 0; depth < 8; ++depth) {
        auto it = hubs_.find(hub);
        if (it == hubs_.end()) return std::string();
        if (it->second.controller >= 0) {
            std::string text = std::to_string(it->second.controller + 1) + "-";
            for (auto p = ports.rbegin(); p != ports.rend(); ++p)
                text += (p == ports.rbegin() ? "" : ".") + std::to_string(*p);
            return text;
        }
        ports.push_back(it->second.parent_port);
        hub = it->second.parent;
    }
    return std::string();
}

std::shared_ptr<void> EmulatedBusImpl::watch(std::function<void()> changed) {
    return listeners_.add(std::move(changed));
}

bool EmulatedBusImpl::root_hub_name(int controller, std::string& hub) {
    detail::MutexLock lock(mutex_);
    if (controller < 0 || controller > 9 || controllers_[controller] == 0 ||
        !controller_readable_[controller])
        return false;
    hub = hub_name(controllers_[controller]);
    return true;
}

bool EmulatedBusImpl::hub_port_count(const std::string& hub, int& ports) {
    detail::MutexLock lock(mutex_);
    const Hub* h = hub_by_name_locked(hub);
    if (!h) return false;
    ports = static_cast<int>(h->ports.size());
    return true;
}

bool EmulatedBusImpl::port_info(const std::string& hub, int port, host::PortInfo& info) {
    detail::MutexLock lock(mutex_);
    const Hub* h = hub_by_name_locked(hub);
    if (!h || port < 1 || port > static_cast<int>(h->ports.size())) return false;
    const Port& p = h->ports[port - 1];
    info = host::PortInfo();
    switch (p.kind) {
        case Port::empty:
            break;
        case Port::hub:
            info.connected = true;
            info.vendor_id = kHubVendor;
            info.product_id = kHubProduct;
            info.is_hub = true;
            break;
        case Port::fixture:
            info.connected = p.connected;
            info.vendor_id = p.vendor;
            info.product_id = p.product;
            break;
        case Port::device:
            info.connected = true;
            info.vendor_id = ZORBEL_USB_VENDOR_ID;
            info.product_id =
                p.occupant->boot_mode.load() ? ZORBEL_USB_PRODUCT_BOOT : ZORBEL_USB_PRODUCT_NORMAL;
            break;
    }
    return true;
}

bool EmulatedBusImpl::port_hub_name(const std::string& hub, int port, std::string& name) {
    detail::MutexLock lock(mutex_);
    const Hub* h = hub_by_name_locked(hub);
    if (!h || port < 1 || port > static_cast<int>(h->ports.size())) return false;
    const Port& p = h->ports[port - 1];
    if (p.kind != Port::hub || !hubs_.at(p.child).name_readable) return false;
    name = hub_name(p.child);
    return true;
}

// Unless told otherwise, claims on emulated devices stay inside this process:
// the devices exist nowhere else, and another program's emulated device with
// the same ID is another device.
std::string EmulatedBusImpl::claim_scope() {
    detail::MutexLock lock(scope_mutex_);
    if (!claim_scope_.empty()) return claim_scope_;
    return "emulated-" + std::to_string(detail::process_id());
}

void EmulatedBusImpl::set_claim_scope(const std::string& scope) {
    detail::MutexLock lock(scope_mutex_);
    claim_scope_ = scope.substr(0, 48);
}

}  // namespace zorbel
