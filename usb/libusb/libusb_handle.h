// An open device on libusb: its requests as asynchronous transfers.
#ifndef ZORBEL_USB_LIBUSB_LIBUSB_HANDLE_H
#define ZORBEL_USB_LIBUSB_LIBUSB_HANDLE_H

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

#include "support/mutex.h"
#include "usb/host.h"
#include "usb/libusb/libusb_context.h"

namespace zorbel {
namespace host {

// An open device: requests as asynchronous transfers that close(),
// cancel_read() and a hot-plug departure can end. Interface 0 is claimed by
// the first bulk transfer (see run()).
//
// Thread-safety: as DeviceHandle requires. One mutex guards the request
// bookkeeping; requests wait on a condition variable that the event thread
// signals when a transfer completes. close() must not run on the event
// thread (it waits for transfers that thread completes).
class LibusbHandle : public DeviceHandle {
public:
    LibusbHandle(std::shared_ptr<LibusbContext> context, libusb_device_handle* handle);
    ~LibusbHandle() override;

    long read(unsigned char* buf, unsigned int len) override;
    void cancel_read() override;
    long write(const unsigned char* data, unsigned int len) override;
    bool get_info(unsigned char* record) override;
    int boot(const void* image, unsigned int size) override;
    void close() override;

    // The device (held by reference, so it outlives the closed handle).
    libusb_device* device() const { return dev_; }
    // The device has left the bus: end every transfer, fail every later one.
    void device_gone();

private:
    struct Pending;
    static void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer);

    // Submits `transfer` and waits for it to end; its status and length are
    // then in the transfer. False when it could not be submitted.
    bool run(libusb_transfer* transfer, bool is_read);
    // One vendor control request; the byte count of its data stage or -1.
    int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                unsigned char* data, std::uint16_t length);
    void cancel_all_locked() REQUIRES(mutex_);

    const std::shared_ptr<LibusbContext> context_;
    libusb_device_handle* const handle_;
    libusb_device* const dev_;

    detail::Mutex mutex_;
    std::condition_variable changed_;
    std::vector<Pending*> in_flight_ GUARDED_BY(mutex_);
    Pending* read_pending_ GUARDED_BY(mutex_) = nullptr;
    bool cancel_next_read_ GUARDED_BY(mutex_) = false;
    bool gone_ GUARDED_BY(mutex_) = false;
    bool claimed_ GUARDED_BY(mutex_) = false;  // interface 0
    enum class State { open, closing, closed };
    State state_ GUARDED_BY(mutex_) = State::open;
};

}  // namespace host
}  // namespace zorbel

#endif
