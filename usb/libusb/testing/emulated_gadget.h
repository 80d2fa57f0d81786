// Puts a device of an emulated bus behind a mocked usbfs node, so that the
// libusb backend reaches the very device the emulated bus runs (its block
// engine, channels and device-side programs) over USB requests.
//
// Each request that arrives over USB becomes the same request on a handle of
// the emulated device; a pump thread keeps one read outstanding on that
// handle and queues what it returns for the bulk IN endpoint.
//
// Thread-safety: as Gadget. The pump thread is joined by unplugged() and by
// the destructor.
#ifndef ZORBEL_USB_LIBUSB_TESTING_EMULATED_GADGET_H
#define ZORBEL_USB_LIBUSB_TESTING_EMULATED_GADGET_H

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "usb/host.h"
#include "usb/libusb/testing/umockdev_bus.h"

namespace zorbel {
namespace testing {

class EmulatedGadget : public Gadget {
public:
    // `open` yields the emulated device's handle; it is called once, on first
    // need (a device that has just booted may take a moment to appear). When
    // the device accepts a boot image, `booted` (if set) gives the gadget of
    // the normal-mode device it becomes.
    using Opener = std::function<std::shared_ptr<host::DeviceHandle>()>;
    explicit EmulatedGadget(Opener open, std::function<std::shared_ptr<Gadget>()> booted = nullptr);
    ~EmulatedGadget() override;

    bool control(const ControlSetup& setup, std::vector<unsigned char>& data) override;
    void bulk_out(const unsigned char* data, std::size_t len) override;
    void unplugged() override;

private:
    std::shared_ptr<host::DeviceHandle> device();
    void pump(std::shared_ptr<host::DeviceHandle> handle);

    Opener open_;
    std::function<std::shared_ptr<Gadget>()> booted_;

    std::mutex mutex_;  // guards the three below
    std::shared_ptr<host::DeviceHandle> handle_;
    std::thread pumping_;
    bool ended_ = false;

    // Boot state; only the worker thread touches it.
    std::size_t expected_ = 0;
    std::vector<unsigned char> image_;
};

// Opens the emulated device of `kind` whose information record carries
// `hardware_id` (any boot-mode device when `kind` is boot, since a boot
// loader answers no information request), on the backend `emulated`.
std::shared_ptr<host::DeviceHandle> open_emulated(const std::shared_ptr<host::Backend>& emulated, int kind,
                                                  const std::string& hardware_id);

}  // namespace testing
}  // namespace zorbel

#endif
