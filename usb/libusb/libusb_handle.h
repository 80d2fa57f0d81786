// An open device on libusb: its requests as asynchronous transfers.
#ifndef ZORBEL_USB_LIBUSB_LIBUSB_HANDLE_H
#define ZORBEL_USB_LIBUSB_LIBUSB_HANDLE_H

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <deque>
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
// Reads: from the first read on, a few bulk IN transfers of a whole number of
// the endpoint's packets stay queued in buffers of the handle's own; read()
// hands their bytes over in order, as many as the caller's buffer takes, and
// resubmits a transfer once it is emptied. A device may then put several
// blocks into one transfer without overflowing it, and bytes that arrive
// while one completion is being handed over land in the next transfer.
//
// Thread-safety: as DeviceHandle requires. One mutex guards the request
// bookkeeping; requests wait on a condition variable that the event thread
// signals when a transfer completes. close() must not run on the event
// thread (it waits for transfers that thread completes).
class LibusbHandle : public DeviceHandle {
public:
    LibusbHandle(std::shared_ptr<LibusbContext> context, libusb_device_handle* handle,
                 unsigned int write_timeout_ms);
    ~LibusbHandle() override;

    long read(unsigned char* buf, unsigned int len) override;
    void cancel_read() override;
    long write(const unsigned char* data, unsigned int len) override;
    bool get_info(unsigned char* record) override;
    int boot(const void* image, unsigned int size) override;
    void close() override;
    UsbAddress address() const override {
        return {libusb_get_bus_number(dev_), libusb_get_device_address(dev_)};
    }

    // The device (held by reference, so it outlives the closed handle).
    libusb_device* device() const { return dev_; }
    // The device has left the bus: end every transfer, fail every later one.
    void device_gone();

private:
    struct Pending;
    struct InTransfer;
    static void LIBUSB_CALL on_transfer_done(libusb_transfer* transfer);
    static void LIBUSB_CALL on_in_done(libusb_transfer* transfer);

    // Submits `transfer` and waits for it to end; its status and length are
    // then in the transfer. False when it could not be submitted.
    bool run(libusb_transfer* transfer);
    // One vendor control request; the byte count of its data stage or -1.
    int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                unsigned char* data, std::uint16_t length);
    void cancel_all_locked() REQUIRES(mutex_);
    bool claim_locked() REQUIRES(mutex_);
    // Allocates and submits the IN transfers on the first read.
    bool start_reads_locked() REQUIRES(mutex_);
    bool submit_in_locked(InTransfer& in) REQUIRES(mutex_);
    // The front transfer ended with a stall: cancels the others, to be
    // queued again, in order, once the halt is cleared. False on a second
    // stall before any transfer completed.
    bool take_back_reads_locked() REQUIRES(mutex_);

    const std::shared_ptr<LibusbContext> context_;
    libusb_device_handle* const handle_;
    libusb_device* const dev_;
    const unsigned int write_timeout_ms_;
    // wMaxPacketSize of the bulk endpoints, read once: libusb reads the
    // active configuration from sysfs on every lookup.
    const int in_packet_;
    const int out_packet_;

    detail::Mutex mutex_;
    std::condition_variable changed_;
    std::vector<Pending*> in_flight_ GUARDED_BY(mutex_);
    // Front to back: completed transfers whose bytes are not all handed over,
    // then the submitted ones in submission order (so completion order).
    std::deque<std::unique_ptr<InTransfer>> reads_ GUARDED_BY(mutex_);
    std::size_t handed_ GUARDED_BY(mutex_) = 0;  // bytes of the front already read
    int reads_submitted_ GUARDED_BY(mutex_) = 0;
    bool read_failed_ GUARDED_BY(mutex_) = false;  // the IN queue cannot go on
    bool stall_retried_ GUARDED_BY(mutex_) = false;
    bool clearing_halt_ GUARDED_BY(mutex_) = false;  // a read's clear, made unlocked
    bool cancel_next_read_ GUARDED_BY(mutex_) = false;
    bool gone_ GUARDED_BY(mutex_) = false;
    bool claimed_ GUARDED_BY(mutex_) = false;  // interface 0
    enum class State { open, closing, closed };
    State state_ GUARDED_BY(mutex_) = State::open;
};

}  // namespace host
}  // namespace zorbel

#endif
