// The emulated bus: building the tree, hot-plug, restarts and the end of a
// boot, and the public bus object.
#include <memory>
#include <string>

#include "emulator/bus_impl.h"
#include "zorbel/usb.h"

namespace zorbel {

// --- bus: building ----------------------------------------------------------

std::shared_ptr<EmulatedDeviceImpl> EmulatedBusImpl::device_of(const EmulatedDeviceImpl* raw) {
    for (const auto& d : devices_snapshot())
        if (d.get() == raw) return d;
    return nullptr;
}

std::vector<std::shared_ptr<EmulatedDeviceImpl>> EmulatedBusImpl::devices_snapshot() {
    detail::MutexLock lock(devices_mutex_);
    return devices_;
}

int EmulatedBusImpl::new_hub_locked(int ports, bool name_readable) {
    if (ports < 1 || ports > 255) return -1;
    int id = next_hub_++;
    Hub& h = hubs_[id];
    h.name_readable = name_readable;
    h.ports.resize(static_cast<std::size_t>(ports));
    return id;
}

int EmulatedBusImpl::add_controller(int ports, int number, bool name_readable) {
    detail::MutexLock lock(mutex_);
    if (number < 0) {
        number = 0;
        while (number < 10 && controllers_[number] != 0) ++number;
    }
    if (number > 9 || controllers_[number] != 0) return -1;
    int hub = new_hub_locked(ports, true);
    if (hub < 0) return -1;
    controllers_[number] = hub;
    controller_readable_[number] = name_readable;
    hubs_[hub].controller = number;
    return hub;
}

int EmulatedBusImpl::add_hub(int hub, int port, int ports, bool name_readable) {
    detail::MutexLock lock(mutex_);
    Port* p = port_locked(hub, port);
    if (!p || p->kind != Port::empty) return -1;
    int child = new_hub_locked(ports, name_readable);
    if (child < 0) return -1;
    p = port_locked(hub, port);  // the map insertion left it in place; look again anyway
    p->kind = Port::hub;
    p->child = child;
    hubs_[child].parent = hub;
    hubs_[child].parent_port = port;
    return child;
}

bool EmulatedBusImpl::add_port_fixture(int hub, int port, std::uint16_t vendor, std::uint16_t product,
                                       bool connected) {
    detail::MutexLock lock(mutex_);
    Port* p = port_locked(hub, port);
    if (!p || p->kind != Port::empty) return false;
    p->kind = Port::fixture;
    p->vendor = vendor;
    p->product = product;
    p->connected = connected;
    return true;
}

std::shared_ptr<emulator::Session> EmulatedBusImpl::new_session_locked(EmulatedDeviceImpl& device,
                                                                       bool restarted) {
    if (device.boot_mode.load()) return std::make_shared<emulator::Session>(true);
    LaneSettings to_device, to_host;
    device.settings(to_device, to_host);
    auto session = std::make_shared<emulator::NormalSession>(device.programs, to_device, to_host, restarted);
    session->start();
    return session;
}

bool EmulatedBusImpl::attach_locked(const std::shared_ptr<EmulatedDeviceImpl>& device, int hub, int port) {
    Port* p = port_locked(hub, port);
    if (shut_ || !p || p->kind != Port::empty || device->plugged.load()) return false;
    p->kind = Port::device;
    p->occupant = device;
    device->hub = hub;
    device->port = port;
    device->arrival = next_arrival_++;
    // A normal-mode device that was unplugged kept its state, as a device
    // with its own power does; one that is new, or in its boot loader,
    // starts afresh.
    if (device->session && !device->session->boot_mode)
        static_cast<emulator::NormalSession*>(device->session.get())->attach();
    else
        device->session = new_session_locked(*device);
    device->plugged.store(true);
    return true;
}

EmulatedDevice EmulatedBusImpl::add_device(int hub, int port, const EmulatedDeviceSettings& settings) {
    auto device = std::make_shared<EmulatedDeviceImpl>(settings);
    device->bus = weak_from_this();
    {
        detail::MutexLock lock(mutex_);
        if (!attach_locked(device, hub, port)) return EmulatedDevice();
        detail::MutexLock devices_lock(devices_mutex_);
        devices_.push_back(device);
    }
    device->notify_state();
    listeners_.notify();
    return EmulatedDevice(device);
}

// --- bus: hot-plug and boot ---------------------------------------------------

void EmulatedBusImpl::unplug(const std::shared_ptr<EmulatedDeviceImpl>& device, bool power_off) {
    std::shared_ptr<emulator::Session> session;
    {
        detail::MutexLock lock(mutex_);
        if (device->plugged.load()) {
            Port* p = port_locked(device->hub, device->port);
            if (p) {
                p->kind = Port::empty;
                p->occupant.reset();
            }
            device->plugged.store(false);
        }
        // A normal-mode device keeps running off the bus; its cable is out.
        if (!power_off && device->session && !device->session->boot_mode)
            static_cast<emulator::NormalSession*>(device->session.get())->detach();
        else
            session = std::move(device->session);
    }
    // Outside the bus's lock: ending a boot waits for its thread, which may be
    // waiting for that lock, and stopping a session joins the device's threads.
    device->cancel_boot();
    if (session) session->shut_down();
    device->notify_state();
    listeners_.notify();
}

bool EmulatedBusImpl::restart(const std::shared_ptr<EmulatedDeviceImpl>& device) {
    std::shared_ptr<emulator::Session> old;
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || device->boot_mode.load()) return false;
        old = std::move(device->session);
    }
    // The old incarnation ends first (its handles fail, its programs stop),
    // outside the lock, since that joins the device's threads.
    if (old) old->shut_down();
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || device->session) return false;
        device->arrival = next_arrival_++;
        device->session = new_session_locked(*device, true);
    }
    device->notify_state();
    listeners_.notify();
    return true;
}

bool EmulatedBusImpl::plug(const std::shared_ptr<EmulatedDeviceImpl>& device, int hub, int port) {
    bool plugged;
    {
        detail::MutexLock lock(mutex_);
        if (hub < 0) {  // back where it was last
            hub = device->hub;
            port = device->port;
        }
        plugged = attach_locked(device, hub, port);
    }
    device->notify_state();
    if (plugged) listeners_.notify();
    return plugged;
}

void EmulatedBusImpl::finish_boot(const std::shared_ptr<EmulatedDeviceImpl>& device) {
    if (!device) return;
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || !device->boot_mode.load()) return;
        // Leaving the boot class ends the boot-mode incarnation and its
        // handles; the device arrives anew, behind the devices present.
        if (device->session) device->session->shut_down();
        device->boot_mode.store(false);
        device->arrival = next_arrival_++;
        device->session = new_session_locked(*device);
    }
    device->notify_state();
    listeners_.notify();
}

void EmulatedBusImpl::bind(const std::shared_ptr<EmulatedDeviceImpl>& device, int pipe,
                           DeviceProgram program) {
    device->programs->bind(pipe, std::move(program));
    detail::MutexLock lock(mutex_);
    if (device->session && !device->session->boot_mode)
        static_cast<emulator::NormalSession*>(device->session.get())->serve(pipe);
}

std::shared_ptr<emulator::Session> EmulatedBusImpl::session_of(EmulatedDeviceImpl& device) {
    detail::MutexLock lock(mutex_);
    return device.session;
}

void EmulatedBusImpl::shut_down() {
    {
        detail::MutexLock lock(mutex_);
        shut_ = true;
    }
    for (const auto& device : devices_snapshot()) unplug(device, true);
}

void EmulatedBus::set_claim_scope(const std::string& scope) { impl_->set_claim_scope(scope); }

EmulatedBus::EmulatedBus() : impl_(std::make_shared<EmulatedBusImpl>()) { host::push_backend(impl_); }

EmulatedBus::~EmulatedBus() {
    host::remove_backend(impl_.get());
    impl_->shut_down();
}

int EmulatedBus::add_controller(int ports, int number, bool name_readable) {
    return impl_->add_controller(ports, number, name_readable);
}

int EmulatedBus::add_hub(int hub, int port, int ports, bool name_readable) {
    return impl_->add_hub(hub, port, ports, name_readable);
}

bool EmulatedBus::add_foreign_device(int hub, int port, std::uint16_t vendor, std::uint16_t product) {
    return impl_->add_port_fixture(hub, port, vendor, product, true);
}

bool EmulatedBus::add_unconnected_port(int hub, int port, std::uint16_t vendor, std::uint16_t product) {
    return impl_->add_port_fixture(hub, port, vendor, product, false);
}

EmulatedDevice EmulatedBus::add_device(int hub, int port, const EmulatedDeviceSettings& settings) {
    return impl_->add_device(hub, port, settings);
}

EmulatedBus::Demo EmulatedBus::add_demo() {
    Demo demo;
    int root = add_controller(4, 0);
    EmulatedDeviceSettings boot;
    boot.boot_mode = true;
    boot.hardware_id = "ZB0000000001";
    boot.id = "0000001";
    demo.boot = add_device(root, 1, boot);
    EmulatedDeviceSettings normal;
    normal.hardware_id = "ZB0000000002";
    normal.id = "0000002";
    demo.normal = add_device(root, 2, normal);
    demo.sink = std::make_shared<SinkTally>();
    // The boot-mode device gets the same programs; they start once it has
    // booted and re-enumerated in normal mode.
    for (EmulatedDevice* d : {&demo.normal, &demo.boot}) {
        d->bind(1, echo_program());
        d->bind(2, sink_program(demo.sink));
        d->bind(3, source_program());
    }
    return demo;
}

}  // namespace zorbel
