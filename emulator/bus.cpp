// The emulated bus: tree, devices, hot-plug, boot, and the backend view.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "emulator/bus_impl.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace {

// A handle on one incarnation of a device. Every request fails once the
// handle is closed or the incarnation has ended (unplug, boot).
class EmulatedHandle final : public host::DeviceHandle {
public:
    EmulatedHandle(std::shared_ptr<EmulatedDeviceImpl> device,
                   std::shared_ptr<emulator::Session> session)
        : device_(std::move(device)), session_(std::move(session)) {
        if (emulator::NormalSession* s = normal())
            attachment_ = s->attachment();
    }
    ~EmulatedHandle() override { close(); }

    long read(unsigned char* buf, unsigned int len) override {
        emulator::NormalSession* s = normal();
        if (!s || !usable() || !buf || len == 0)
            return -1;
        return s->read(this, closed_, attachment_, buf, len);
    }

    void cancel_read() override {
        if (emulator::NormalSession* s = normal())
            s->cancel_read(this);
    }

    long write(const unsigned char* data, unsigned int len) override {
        emulator::NormalSession* s = normal();
        if (!s || !usable() || !data)
            return -1;
        return s->write(data, len);
    }

    bool get_info(unsigned char* record) override {
        if (!normal() || !usable() || !record || device_->info_fails.load())
            return false;
        device_->info_record(record);
        return true;
    }

    int boot(const void* image, unsigned int size) override {
        if (!session_->boot_mode || !usable())
            return -1;
        if (!boot_image_valid(image, size))
            return 1;
        device_->boots.fetch_add(1);
        device_->start_boot();
        return 0;
    }

    void close() override {
        closed_.store(true);
        if (emulator::NormalSession* s = normal())
            s->end_read_of(this);
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
    unsigned attachment_ = 0;
    std::atomic<bool> closed_{false};
};

// Hubs other than Zorbel devices report some maker's IDs; these are made up
// and only need to differ from the Zorbel's.
constexpr std::uint16_t hub_vendor = 0x1209;
constexpr std::uint16_t hub_product = 0x0001;

}  // namespace

// --- device ---------------------------------------------------------------

EmulatedDeviceImpl::EmulatedDeviceImpl(const EmulatedDeviceSettings& settings)
    : boot_mode(settings.boot_mode), settings_(settings) {}

EmulatedDeviceImpl::~EmulatedDeviceImpl() {
    cancel_boot();
}

void EmulatedDeviceImpl::info_record(unsigned char* record) {
    std::u16string units;
    {
        detail::MutexLock lock(mutex_);
        if (has_record_) {
            units = record_;
        } else {
            // Type letter, hardware ID (12), two unused units, ID (7). The
            // unused units hold spaces: a zero there would end the text
            // before the ID.
            units.assign(22, u'\0');
            units[13] = units[14] = u' ';
            units[0] = static_cast<unsigned char>(settings_.type);
            for (std::size_t i = 0; i < 12 && i < settings_.hardware_id.size(); ++i)
                units[1 + i] = static_cast<unsigned char>(settings_.hardware_id[i]);
            for (std::size_t i = 0; i < 7 && i < settings_.id.size(); ++i)
                units[15 + i] = static_cast<unsigned char>(settings_.id[i]);
        }
    }
    units.resize(host::info_record_size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        record[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        record[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
}

std::string EmulatedDeviceImpl::hardware_id() {
    detail::MutexLock lock(mutex_);
    return settings_.hardware_id;
}

void EmulatedDeviceImpl::settings(LaneSettings& to_device, LaneSettings& to_host) {
    detail::MutexLock lock(mutex_);
    to_device = settings_.to_device;
    to_host = settings_.to_host;
}

void EmulatedDeviceImpl::set_link(const LaneSettings& to_device, const LaneSettings& to_host) {
    detail::MutexLock lock(mutex_);
    settings_.to_device = to_device;
    settings_.to_host = to_host;
}

void EmulatedDeviceImpl::set_info_record(const std::u16string& units) {
    detail::MutexLock lock(mutex_);
    has_record_ = true;
    record_ = units.substr(0, host::info_record_size / 2);
}

void EmulatedDeviceImpl::set_boot_delay(unsigned int ms) {
    detail::MutexLock lock(mutex_);
    settings_.boot_delay_ms = ms;
}

void EmulatedDeviceImpl::start_boot() {
    std::thread finished;
    {
        detail::MutexLock lock(mutex_);
        if (boot_pending_)
            return;
        boot_pending_ = true;
        boot_cancelled_ = false;
        finished = std::move(boot_thread_);  // a boot that has run its course
        unsigned int delay = settings_.boot_delay_ms;
        boot_thread_ = std::thread([this, delay] {
            detail::MutexLock lock(mutex_);
            bool cancelled = lock.wait_for(changed_, std::chrono::milliseconds(delay),
                                           [this]() REQUIRES(mutex_) { return boot_cancelled_; });
            lock.unlock();
            if (!cancelled) {
                // The bus holds this device for as long as it lives and ends
                // pending boots before it lets go, so `this` is alive here.
                if (std::shared_ptr<EmulatedBusImpl> b = bus.lock())
                    b->finish_boot(b->device_of(this));
            }
            lock.lock();
            boot_pending_ = false;
        });
    }
    if (finished.joinable())
        finished.join();
}

void EmulatedDeviceImpl::cancel_boot() {
    std::thread boot;
    {
        detail::MutexLock lock(mutex_);
        boot_cancelled_ = true;
        boot = std::move(boot_thread_);
    }
    changed_.notify_all();
    if (boot.joinable())
        boot.join();
    detail::MutexLock lock(mutex_);
    boot_cancelled_ = false;
    boot_pending_ = false;
}

std::shared_ptr<emulator::Session> EmulatedDeviceImpl::current_session() {
    std::shared_ptr<EmulatedBusImpl> b = bus.lock();
    return b ? b->session_of(*this) : nullptr;
}

void EmulatedDeviceImpl::notify_state() {
    { detail::MutexLock lock(mutex_); }
    changed_.notify_all();
}

bool EmulatedDeviceImpl::wait_normal_mode(unsigned long timeout_ms) {
    detail::MutexLock lock(mutex_);
    return lock.wait_for(changed_, std::chrono::milliseconds(timeout_ms),
                         [this] { return plugged.load() && !boot_mode.load(); });
}

// --- bus: backend view ----------------------------------------------------

EmulatedBusImpl::~EmulatedBusImpl() {
    shut_down();
}

std::string EmulatedBusImpl::hub_name(int hub) {
    return "EMULATED#HUB#" + std::to_string(hub);
}

const EmulatedBusImpl::Hub* EmulatedBusImpl::hub_by_name_locked(const std::string& name) const {
    static const std::string prefix = "EMULATED#HUB#";
    if (name.compare(0, prefix.size(), prefix) != 0)
        return nullptr;
    int id = std::atoi(name.c_str() + prefix.size());
    auto it = hubs_.find(id);
    return it == hubs_.end() || hub_name(id) != name ? nullptr : &it->second;
}

EmulatedBusImpl::Port* EmulatedBusImpl::port_locked(int hub, int port) {
    auto it = hubs_.find(hub);
    if (it == hubs_.end() || port < 1 || port > static_cast<int>(it->second.ports.size()))
        return nullptr;
    return &it->second.ports[port - 1];
}

std::shared_ptr<host::DeviceHandle> EmulatedBusImpl::open(int kind, int index) {
    detail::MutexLock lock(mutex_);
    bool boot = kind != DEVICE_KIND_NORMAL;
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> listed;
    for (auto& d : devices_snapshot())
        if (d->plugged.load() && d->boot_mode.load() == boot)
            listed.push_back(std::move(d));
    std::sort(listed.begin(), listed.end(),
              [](const std::shared_ptr<EmulatedDeviceImpl>& a,
                 const std::shared_ptr<EmulatedDeviceImpl>& b) { return a->arrival < b->arrival; });
    if (index < 0 || index >= static_cast<int>(listed.size()))
        return nullptr;
    const std::shared_ptr<EmulatedDeviceImpl>& d = listed[index];
    if (d->open_refused.load() || !d->session)
        return nullptr;
    return std::make_shared<EmulatedHandle>(d, d->session);
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
    if (!h)
        return false;
    ports = static_cast<int>(h->ports.size());
    return true;
}

bool EmulatedBusImpl::port_info(const std::string& hub, int port, host::PortInfo& info) {
    detail::MutexLock lock(mutex_);
    const Hub* h = hub_by_name_locked(hub);
    if (!h || port < 1 || port > static_cast<int>(h->ports.size()))
        return false;
    const Port& p = h->ports[port - 1];
    info = host::PortInfo();
    switch (p.kind) {
    case Port::empty:
        break;
    case Port::hub:
        info.connected = true;
        info.vendor_id = hub_vendor;
        info.product_id = hub_product;
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
        info.product_id = p.occupant->boot_mode.load() ? ZORBEL_USB_PRODUCT_BOOT
                                                       : ZORBEL_USB_PRODUCT_NORMAL;
        break;
    }
    return true;
}

bool EmulatedBusImpl::port_hub_name(const std::string& hub, int port, std::string& name) {
    detail::MutexLock lock(mutex_);
    const Hub* h = hub_by_name_locked(hub);
    if (!h || port < 1 || port > static_cast<int>(h->ports.size()))
        return false;
    const Port& p = h->ports[port - 1];
    if (p.kind != Port::hub || !hubs_.at(p.child).name_readable)
        return false;
    name = hub_name(p.child);
    return true;
}

// --- bus: building ----------------------------------------------------------

std::shared_ptr<EmulatedDeviceImpl> EmulatedBusImpl::device_of(const EmulatedDeviceImpl* raw) {
    for (const auto& d : devices_snapshot())
        if (d.get() == raw)
            return d;
    return nullptr;
}

std::vector<std::shared_ptr<EmulatedDeviceImpl>> EmulatedBusImpl::devices_snapshot() {
    detail::MutexLock lock(devices_mutex_);
    return devices_;
}

int EmulatedBusImpl::new_hub_locked(int ports, bool name_readable) {
    if (ports < 1 || ports > 255)
        return -1;
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
        while (number < 10 && controllers_[number] != 0)
            ++number;
    }
    if (number > 9 || controllers_[number] != 0)
        return -1;
    int hub = new_hub_locked(ports, true);
    if (hub < 0)
        return -1;
    controllers_[number] = hub;
    controller_readable_[number] = name_readable;
    return hub;
}

int EmulatedBusImpl::add_hub(int hub, int port, int ports, bool name_readable) {
    detail::MutexLock lock(mutex_);
    Port* p = port_locked(hub, port);
    if (!p || p->kind != Port::empty)
        return -1;
    int child = new_hub_locked(ports, name_readable);
    if (child < 0)
        return -1;
    p = port_locked(hub, port);  // the map insertion left it in place; look again anyway
    p->kind = Port::hub;
    p->child = child;
    return child;
}

bool EmulatedBusImpl::add_port_fixture(int hub, int port, std::uint16_t vendor,
                                       std::uint16_t product, bool connected) {
    detail::MutexLock lock(mutex_);
    Port* p = port_locked(hub, port);
    if (!p || p->kind != Port::empty)
        return false;
    p->kind = Port::fixture;
    p->vendor = vendor;
    p->product = product;
    p->connected = connected;
    return true;
}

std::shared_ptr<emulator::Session> EmulatedBusImpl::new_session_locked(EmulatedDeviceImpl& device,
                                                                        bool restarted) {
    if (device.boot_mode.load())
        return std::make_shared<emulator::Session>(true);
    LaneSettings to_device, to_host;
    device.settings(to_device, to_host);
    auto session =
        std::make_shared<emulator::NormalSession>(device.programs, to_device, to_host, restarted);
    session->start();
    return session;
}

bool EmulatedBusImpl::attach_locked(const std::shared_ptr<EmulatedDeviceImpl>& device, int hub,
                                    int port) {
    Port* p = port_locked(hub, port);
    if (shut_ || !p || p->kind != Port::empty || device->plugged.load())
        return false;
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
        if (!attach_locked(device, hub, port))
            return EmulatedDevice();
        detail::MutexLock devices_lock(devices_mutex_);
        devices_.push_back(device);
    }
    device->notify_state();
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
    if (session)
        session->shut_down();
    device->notify_state();
}

bool EmulatedBusImpl::restart(const std::shared_ptr<EmulatedDeviceImpl>& device) {
    std::shared_ptr<emulator::Session> old;
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || device->boot_mode.load())
            return false;
        old = std::move(device->session);
    }
    // The old incarnation ends first (its handles fail, its programs stop),
    // outside the lock, since that joins the device's threads.
    if (old)
        old->shut_down();
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || device->session)
            return false;
        device->arrival = next_arrival_++;
        device->session = new_session_locked(*device, true);
    }
    device->notify_state();
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
    return plugged;
}

void EmulatedBusImpl::finish_boot(const std::shared_ptr<EmulatedDeviceImpl>& device) {
    if (!device)
        return;
    {
        detail::MutexLock lock(mutex_);
        if (shut_ || !device->plugged.load() || !device->boot_mode.load())
            return;
        // Leaving the boot class ends the boot-mode incarnation and its
        // handles; the device arrives anew, behind the devices present.
        if (device->session)
            device->session->shut_down();
        device->boot_mode.store(false);
        device->arrival = next_arrival_++;
        device->session = new_session_locked(*device);
    }
    device->notify_state();
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
    for (const auto& device : devices_snapshot())
        unplug(device, true);
}

// --- public handles -----------------------------------------------------------

EmulatedDevice::EmulatedDevice() = default;
EmulatedDevice::EmulatedDevice(std::shared_ptr<EmulatedDeviceImpl> impl) : impl(std::move(impl)) {}

bool EmulatedDevice::valid() const { return impl != nullptr; }
bool EmulatedDevice::plugged() const { return impl && impl->plugged.load(); }
bool EmulatedDevice::boot_mode() const { return impl && impl->boot_mode.load(); }
std::string EmulatedDevice::hardware_id() const { return impl ? impl->hardware_id() : std::string(); }

void EmulatedDevice::unplug() {
    if (!impl)
        return;
    if (std::shared_ptr<EmulatedBusImpl> bus = impl->bus.lock())
        bus->unplug(impl);
}

bool EmulatedDevice::reset() {
    if (!impl)
        return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl->bus.lock();
    return bus && bus->restart(impl);
}

bool EmulatedDevice::plug() {
    if (!impl)
        return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl->bus.lock();
    return bus && bus->plug(impl, -1, -1);
}

bool EmulatedDevice::plug(int hub, int port) {
    if (!impl)
        return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl->bus.lock();
    return bus && bus->plug(impl, hub, port);
}

void EmulatedDevice::bind(int pipe, DeviceProgram program) {
    // Pipe numbers 1..125 give channel numbers 1..250.
    if (!impl || pipe < 1 || pipe > 125)
        return;
    if (std::shared_ptr<EmulatedBusImpl> bus = impl->bus.lock())
        bus->bind(impl, pipe, std::move(program));
    else
        impl->programs->bind(pipe, std::move(program));
}

void EmulatedDevice::set_link(const LaneSettings& to_device, const LaneSettings& to_host) {
    if (!impl)
        return;
    impl->set_link(to_device, to_host);
    std::shared_ptr<emulator::Session> session = impl->current_session();
    if (session && !session->boot_mode)
        static_cast<emulator::NormalSession*>(session.get())->set_link(to_device, to_host);
}

LaneStats EmulatedDevice::to_device_stats() const {
    std::shared_ptr<emulator::Session> session = impl ? impl->current_session() : nullptr;
    if (!session || session->boot_mode)
        return LaneStats();
    return static_cast<emulator::NormalSession*>(session.get())->to_device_stats();
}

LaneStats EmulatedDevice::to_host_stats() const {
    std::shared_ptr<emulator::Session> session = impl ? impl->current_session() : nullptr;
    if (!session || session->boot_mode)
        return LaneStats();
    return static_cast<emulator::NormalSession*>(session.get())->to_host_stats();
}

void EmulatedDevice::set_open_refused(bool refused) {
    if (impl)
        impl->open_refused.store(refused);
}

void EmulatedDevice::set_info_fails(bool fails) {
    if (impl)
        impl->info_fails.store(fails);
}

void EmulatedDevice::set_info_record(const std::u16string& units) {
    if (impl)
        impl->set_info_record(units);
}

void EmulatedDevice::set_boot_delay(unsigned int ms) {
    if (impl)
        impl->set_boot_delay(ms);
}

unsigned int EmulatedDevice::boots() const { return impl ? impl->boots.load() : 0; }

bool EmulatedDevice::wait_normal_mode(unsigned long timeout_ms) const {
    return impl && impl->wait_normal_mode(timeout_ms);
}

// Unless told otherwise, claims on emulated devices stay inside this process:
// the devices exist nowhere else, and another program's emulated device with
// the same ID is another device.
std::string EmulatedBusImpl::claim_scope() {
    detail::MutexLock lock(scope_mutex_);
    if (!claim_scope_.empty()) return claim_scope_;
    return "emulated-" + std::to_string(static_cast<long>(::getpid()));
}

void EmulatedBusImpl::set_claim_scope(const std::string& scope) {
    detail::MutexLock lock(scope_mutex_);
    claim_scope_ = scope.substr(0, 48);
}

void EmulatedBus::set_claim_scope(const std::string& scope) { impl->set_claim_scope(scope); }

EmulatedBus::EmulatedBus() : impl(std::make_shared<EmulatedBusImpl>()) {
    host::push_backend(impl);
}

EmulatedBus::~EmulatedBus() {
    host::remove_backend(impl.get());
    impl->shut_down();
}

int EmulatedBus::add_controller(int ports, int number, bool name_readable) {
    return impl->add_controller(ports, number, name_readable);
}

int EmulatedBus::add_hub(int hub, int port, int ports, bool name_readable) {
    return impl->add_hub(hub, port, ports, name_readable);
}

bool EmulatedBus::add_foreign_device(int hub, int port, std::uint16_t vendor, std::uint16_t product) {
    return impl->add_port_fixture(hub, port, vendor, product, true);
}

bool EmulatedBus::add_unconnected_port(int hub, int port, std::uint16_t vendor,
                                       std::uint16_t product) {
    return impl->add_port_fixture(hub, port, vendor, product, false);
}

EmulatedDevice EmulatedBus::add_device(int hub, int port, const EmulatedDeviceSettings& settings) {
    return impl->add_device(hub, port, settings);
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
