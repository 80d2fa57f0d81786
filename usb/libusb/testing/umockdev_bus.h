// A USB bus of host controllers, hubs and devices mocked with umockdev, for
// testing the libusb backend without hardware.
//
// umockdev builds a private sysfs and /dev in a temporary folder; its preload
// library (LD_PRELOAD=libumockdev-preload.so.0) makes the process see them
// instead of the real ones, so libusb enumerates, opens and talks to the
// mocked devices as to real ones. Each device node answers the usbfs ioctls
// that libusb makes (capabilities, interface claims, URB submission, reaping
// and discarding); behind that sits a Gadget, the device's own logic.
//
// A node of umockdev is a plain file that always polls ready, which would
// make libusb's event loop reap in a tight loop. Each node here is a FIFO
// instead, kept full while there is nothing to reap (no POLLOUT) and emptied
// when a URB completes, so libusb's event thread sleeps until there is work.
//
// Thread-safety: build and change the bus from one test thread. The ioctl
// handlers run on umockdev's worker thread; a gadget's send_in may be called
// from any thread.
#ifndef ZORBEL_USB_LIBUSB_TESTING_UMOCKDEV_BUS_H
#define ZORBEL_USB_LIBUSB_TESTING_UMOCKDEV_BUS_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zorbel {
namespace testing {

// The eight bytes that start every control transfer.
struct ControlSetup {
    std::uint8_t request_type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

// The device's side of one mocked USB device. Calls arrive on umockdev's
// worker thread, one at a time, and must not block for long.
class Gadget {
public:
    virtual ~Gadget() = default;

    // A control request. For IN requests fill `data` (at most setup.length
    // bytes); for OUT requests `data` holds the data stage. False stalls it.
    virtual bool control(const ControlSetup& setup, std::vector<unsigned char>& data) = 0;
    // Bytes the host sent on the bulk OUT endpoint.
    virtual void bulk_out(const unsigned char* data, std::size_t len) = 0;
    // The host ended an OUT transfer of whole packets with a zero-length
    // packet (what tells a device reading with a larger buffer it is over).
    virtual void zero_length_packet() {}
    // The device left the bus, or its node is going: stop calling send_in
    // before returning. Called from the thread that unplugs or destroys the
    // bus, possibly more than once.
    virtual void unplugged() {}

    // Set by the bus before any other call: queues bytes for the host's bulk
    // IN endpoint, which go out in packets of the endpoint's size; bytes
    // queued back to back may share one transfer. Safe from any thread.
    std::function<void(const unsigned char*, std::size_t)> send_in;
    // Set by the bus: unplugs this device and plugs `next` at the same port,
    // after `delay_ms`, on a thread of the bus (as a device that leaves its
    // boot loader re-enumerates). Safe from the worker thread.
    std::function<void(std::shared_ptr<Gadget> next, std::uint16_t product, unsigned delay_ms)> reenumerate;
};

class UsbfsNode;

class UmockdevBus {
public:
    // True when the umockdev preload library is in force in this process.
    static bool preload_active();

    // Devices get bulk endpoints of `max_packet` bytes: 512 at high speed,
    // 64 at full speed.
    explicit UmockdevBus(int max_packet = 512);
    ~UmockdevBus();
    UmockdevBus(const UmockdevBus&) = delete;
    UmockdevBus& operator=(const UmockdevBus&) = delete;

    // A host controller with its root hub "usbN" of `ports` ports.
    std::string add_root_hub(int bus, int ports);
    // An external hub at `port` of `parent`; returns its name ("1-2.3").
    std::string add_hub(const std::string& parent, int port, int ports);
    // A device at `port` of `parent`; with a gadget it can be opened.
    std::string add_device(const std::string& parent, int port, std::uint16_t vendor, std::uint16_t product,
                           std::shared_ptr<Gadget> gadget = nullptr);

    // Unplugs a device: pending transfers end with "no device", later
    // requests fail, and a removal event goes out.
    void unplug(const std::string& name);

    // Halts the device's bulk IN endpoint: transfers fail with a stall until
    // the host clears the halt, or for good (a device that keeps stalling).
    // With `after_packets`, the device first sends that many more packets of
    // its queued bytes: the transfer under way then ends with the stall and
    // carries them, as a host controller reports a halt in the middle of a
    // transfer of many packets.
    void stall_in(const std::string& name, bool for_good = false, int after_packets = 0);
    // The device stops taking bulk OUT data (or takes it again): later OUT
    // URBs stay pending until the host gives up on them.
    void hold_out(const std::string& name, bool held);

    // Waits for re-enumerations started by gadgets to finish.
    void settle();

private:
    // The node plugged in under `name`, or null.
    std::shared_ptr<UsbfsNode> node_of(const std::string& name);
    struct Entry {
        std::string syspath;
        int bus = 0;
        int devnum = 0;
        int ports = 0;
        std::shared_ptr<UsbfsNode> node;
    };
    std::string add(const std::string& parent, int port, std::uint16_t vendor, std::uint16_t product,
                    int ports, std::shared_ptr<Gadget> gadget);
    void wire(const std::string& name, Entry& entry, std::uint16_t vendor, std::uint16_t product,
              std::shared_ptr<Gadget> gadget);

    const int max_packet_;
    struct Testbed;
    std::unique_ptr<Testbed> testbed_;
    std::map<std::string, Entry> entries_;
    std::map<int, int> next_devnum_;
    std::vector<std::shared_ptr<UsbfsNode>> unplugged_;  // may still be reaped from
    std::vector<std::thread> workers_;                   // re-enumerations
};

}  // namespace testing
}  // namespace zorbel

#endif
