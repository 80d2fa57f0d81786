// One emulated device: its information record, its link settings, its boot,
// and the public handle on it.
#include <chrono>
#include <thread>

#include "emulator/bus_impl.h"
#include "zorbel/usb.h"

namespace zorbel {

// --- device ---------------------------------------------------------------

EmulatedDeviceImpl::EmulatedDeviceImpl(const EmulatedDeviceSettings& settings)
    : boot_mode(settings.boot_mode), settings_(settings) {}

EmulatedDeviceImpl::~EmulatedDeviceImpl() { cancel_boot(); }

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
    units.resize(host::kInfoRecordSize / 2, u'\0');
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
    record_ = units.substr(0, host::kInfoRecordSize / 2);
}

void EmulatedDeviceImpl::set_boot_delay(unsigned int ms) {
    detail::MutexLock lock(mutex_);
    settings_.boot_delay_ms = ms;
}

void EmulatedDeviceImpl::start_boot() {
    std::thread finished;
    {
        detail::MutexLock lock(mutex_);
        if (boot_pending_) return;
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
                if (std::shared_ptr<EmulatedBusImpl> b = bus.lock()) b->finish_boot(b->device_of(this));
            }
            lock.lock();
            boot_pending_ = false;
        });
    }
    if (finished.joinable()) finished.join();
}

void EmulatedDeviceImpl::cancel_boot() {
    std::thread boot;
    {
        detail::MutexLock lock(mutex_);
        boot_cancelled_ = true;
        boot = std::move(boot_thread_);
    }
    changed_.notify_all();
    if (boot.joinable()) boot.join();
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

// --- public handles -----------------------------------------------------------

EmulatedDevice::EmulatedDevice() = default;
EmulatedDevice::EmulatedDevice(std::shared_ptr<EmulatedDeviceImpl> impl) : impl_(std::move(impl)) {}

bool EmulatedDevice::valid() const { return impl_ != nullptr; }
bool EmulatedDevice::plugged() const { return impl_ && impl_->plugged.load(); }
bool EmulatedDevice::boot_mode() const { return impl_ && impl_->boot_mode.load(); }
std::string EmulatedDevice::hardware_id() const { return impl_ ? impl_->hardware_id() : std::string(); }

void EmulatedDevice::unplug() {
    if (!impl_) return;
    if (std::shared_ptr<EmulatedBusImpl> bus = impl_->bus.lock()) bus->unplug(impl_);
}

bool EmulatedDevice::reset() {
    if (!impl_) return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl_->bus.lock();
    return bus && bus->restart(impl_);
}

bool EmulatedDevice::plug() {
    if (!impl_) return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl_->bus.lock();
    return bus && bus->plug(impl_, -1, -1);
}

bool EmulatedDevice::plug(int hub, int port) {
    if (!impl_) return false;
    std::shared_ptr<EmulatedBusImpl> bus = impl_->bus.lock();
    return bus && bus->plug(impl_, hub, port);
}

void EmulatedDevice::bind(int pipe, DeviceProgram program) {
    // Pipe numbers 1..125 give channel numbers 1..250.
    if (!impl_ || pipe < 1 || pipe > 125) return;
    if (std::shared_ptr<EmulatedBusImpl> bus = impl_->bus.lock())
        bus->bind(impl_, pipe, std::move(program));
    else
        impl_->programs->bind(pipe, std::move(program));
}

void EmulatedDevice::set_link(const LaneSettings& to_device, const LaneSettings& to_host) {
    if (!impl_) return;
    impl_->set_link(to_device, to_host);
    std::shared_ptr<emulator::Session> session = impl_->current_session();
    if (session && !session->boot_mode)
        static_cast<emulator::NormalSession*>(session.get())->set_link(to_device, to_host);
}

LaneStats EmulatedDevice::to_device_stats() const {
    std::shared_ptr<emulator::Session> session = impl_ ? impl_->current_session() : nullptr;
    if (!session || session->boot_mode) return LaneStats();
    return static_cast<emulator::NormalSession*>(session.get())->to_device_stats();
}

LaneStats EmulatedDevice::to_host_stats() const {
    std::shared_ptr<emulator::Session> session = impl_ ? impl_->current_session() : nullptr;
    if (!session || session->boot_mode) return LaneStats();
    return static_cast<emulator::NormalSession*>(session.get())->to_host_stats();
}

void EmulatedDevice::set_open_refused(bool refused) {
    if (impl_) impl_->open_refused.store(refused);
}

void EmulatedDevice::set_info_fails(bool fails) {
    if (impl_) impl_->info_fails.store(fails);
}

void EmulatedDevice::set_info_record(const std::u16string& units) {
    if (impl_) impl_->set_info_record(units);
}

void EmulatedDevice::set_boot_delay(unsigned int ms) {
    if (impl_) impl_->set_boot_delay(ms);
}

unsigned int EmulatedDevice::boots() const { return impl_ ? impl_->boots.load() : 0; }

bool EmulatedDevice::wait_normal_mode(unsigned long timeout_ms) const {
    return impl_ && impl_->wait_normal_mode(timeout_ms);
}

}  // namespace zorbel
