// The emulated bus behind EmulatedBus: its tree of controllers and hubs, its
// devices, and the device-host backend that shows them to the library.
#ifndef ZORBEL_EMULATOR_BUS_IMPL_H
#define ZORBEL_EMULATOR_BUS_IMPL_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/device_session.h"
#include "support/mutex.h"
#include "usb/change_listeners.h"
#include "usb/host.h"
#include "zorbel/emulator.h"

namespace zorbel {

// One device. Its place and mode belong to the bus and change under the bus's
// mutex; its identity, settings and boot thread are under its own mutex. Lock
// order: the bus's mutex, then a device's.
class EmulatedDeviceImpl {
public:
    explicit EmulatedDeviceImpl(const EmulatedDeviceSettings& settings);
    ~EmulatedDeviceImpl();

    std::weak_ptr<EmulatedBusImpl> bus;

    // Guarded by the bus's mutex (atomics so that queries need no lock).
    std::atomic<bool> plugged{false};
    std::atomic<bool> boot_mode{false};
    int hub = 0;
    int port = 0;
    std::uint64_t arrival = 0;
    std::shared_ptr<emulator::Session> session;

    const std::shared_ptr<emulator::ProgramTable> programs = std::make_shared<emulator::ProgramTable>();
    std::atomic<bool> open_refused{false};
    std::atomic<bool> info_fails{false};
    std::atomic<unsigned int> boots{0};

    // Fills the 44-byte information record.
    void info_record(unsigned char* record);
    std::string hardware_id();
    void settings(LaneSettings& to_device, LaneSettings& to_host);
    void set_link(const LaneSettings& to_device, const LaneSettings& to_host);
    void set_info_record(const std::u16string& units);
    void set_boot_delay(unsigned int ms);

    // An accepted image: leaves boot mode after the boot delay, on a thread
    // of the device. A second image while one is pending changes nothing.
    void start_boot();
    // Ends a pending boot and joins its thread; not on that thread.
    void cancel_boot();

    // The incarnation under way, or null (unplugged, or the bus is gone).
    std::shared_ptr<emulator::Session> current_session();

    // Wakes wait_normal_mode after a change of place or mode.
    void notify_state();
    bool wait_normal_mode(unsigned long timeout_ms);

private:
    detail::Mutex mutex_;
    std::condition_variable changed_;
    EmulatedDeviceSettings settings_ GUARDED_BY(mutex_);
    bool has_record_ GUARDED_BY(mutex_) = false;
    std::u16string record_ GUARDED_BY(mutex_);
    std::thread boot_thread_ GUARDED_BY(mutex_);
    bool boot_pending_ GUARDED_BY(mutex_) = false;
    bool boot_cancelled_ GUARDED_BY(mutex_) = false;
};

class EmulatedBusImpl final : public host::Backend, public std::enable_shared_from_this<EmulatedBusImpl> {
public:
    EmulatedBusImpl() = default;
    ~EmulatedBusImpl() override;

    // --- the backend
    std::shared_ptr<host::DeviceHandle> open(int kind, int index, host::OpenFailure& failure) override;
    std::string location(int kind, int index) override;
    std::shared_ptr<void> watch(std::function<void()> changed) override;
    bool root_hub_name(int controller, std::string& hub) override;
    bool hub_port_count(const std::string& hub, int& ports) override;
    bool port_info(const std::string& hub, int port, host::PortInfo& info) override;
    bool port_hub_name(const std::string& hub, int port, std::string& name) override;
    std::string claim_scope() override;
    void set_claim_scope(const std::string& scope);

    // --- building the tree
    int add_controller(int ports, int number, bool name_readable);
    int add_hub(int hub, int port, int ports, bool name_readable);
    bool add_port_fixture(int hub, int port, std::uint16_t vendor, std::uint16_t product, bool connected);
    EmulatedDevice add_device(int hub, int port, const EmulatedDeviceSettings& settings);

    // --- hot-plug, from EmulatedDevice
    // `power_off`: the device's state ends too (the bus is going away);
    // otherwise a normal-mode device keeps it until it is plugged in again.
    void unplug(const std::shared_ptr<EmulatedDeviceImpl>& device, bool power_off = false);
    // A normal-mode device restarts: a new incarnation whose programs start
    // afresh and announce it with cmd_reset. False when not plugged in normal mode.
    bool restart(const std::shared_ptr<EmulatedDeviceImpl>& device);
    // A negative hub means the device's last place.
    bool plug(const std::shared_ptr<EmulatedDeviceImpl>& device, int hub, int port);
    // The end of a boot: the device re-enumerates in normal mode.
    void finish_boot(const std::shared_ptr<EmulatedDeviceImpl>& device);
    void bind(const std::shared_ptr<EmulatedDeviceImpl>& device, int pipe, DeviceProgram program);

    // Unplugs everything; later plugs fail.
    void shut_down();

    std::shared_ptr<emulator::Session> session_of(EmulatedDeviceImpl& device);
    // The owning pointer of one of this bus's devices (null if not one).
    std::shared_ptr<EmulatedDeviceImpl> device_of(const EmulatedDeviceImpl* device);

private:
    struct Port {
        enum Kind { empty, hub, fixture, device } kind = empty;
        int child = 0;  // kind hub
        std::uint16_t vendor = 0, product = 0;
        bool connected = false;                        // kind fixture
        std::shared_ptr<EmulatedDeviceImpl> occupant;  // kind device
    };
    struct Hub {
        int controller = -1;  // 0..9 for a root hub
        int parent = 0;       // otherwise: the hub and port it hangs on
        int parent_port = 0;
        bool name_readable = true;
        std::vector<Port> ports;  // port p at p-1
    };

    Port* port_locked(int hub, int port) REQUIRES(mutex_);
    // The plugged devices of a kind in the order the host lists them.
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> listed_locked(int kind) REQUIRES(mutex_);
    std::string location_locked(const EmulatedDeviceImpl& device) REQUIRES(mutex_);
    const Hub* hub_by_name_locked(const std::string& name) const REQUIRES(mutex_);
    static std::string hub_name(int hub);
    int new_hub_locked(int ports, bool name_readable) REQUIRES(mutex_);
    std::shared_ptr<emulator::Session> new_session_locked(EmulatedDeviceImpl& device, bool restarted = false)
        REQUIRES(mutex_);
    bool attach_locked(const std::shared_ptr<EmulatedDeviceImpl>& device, int hub, int port) REQUIRES(mutex_);

    mutable detail::Mutex mutex_;
    std::map<int, Hub> hubs_ GUARDED_BY(mutex_);
    int controllers_[10] GUARDED_BY(mutex_) = {};  // root hub per controller, 0 for none
    bool controller_readable_[10] GUARDED_BY(mutex_) = {};
    int next_hub_ GUARDED_BY(mutex_) = 1;
    std::uint64_t next_arrival_ GUARDED_BY(mutex_) = 1;
    bool shut_ GUARDED_BY(mutex_) = false;

    // Every device ever added, in order; under its own mutex so that a boot
    // thread can find its device without the bus's mutex. Lock order:
    // mutex_, then devices_mutex_.
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> devices_snapshot();
    detail::Mutex devices_mutex_;
    std::vector<std::shared_ptr<EmulatedDeviceImpl>> devices_ GUARDED_BY(devices_mutex_);
    detail::Mutex scope_mutex_;
    std::string claim_scope_ GUARDED_BY(scope_mutex_);  // empty: this process's own
    host::ChangeListeners listeners_;
};

}  // namespace zorbel

#endif
