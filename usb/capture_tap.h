// Where a connection's transfers meet its capture. The USB transport sends
// every write and every read through its tap; with no capture the tap costs
// the transfer one relaxed load and calls the handle directly.
//
// A tap starts with the capture the environment names (ZORBEL_CAPTURE=FILE:
// one file for every connection of the process, made when the first of them
// is and closed when the last goes; a later connection adds a section to it),
// and a program may point it at a file of its own instead (capture_to).
#ifndef ZORBEL_USB_CAPTURE_TAP_H
#define ZORBEL_USB_CAPTURE_TAP_H

#include <atomic>
#include <memory>
#include <string>
#include <system_error>

#include "support/mutex.h"
#include "usb/capture_file.h"
#include "usb/host.h"

namespace zorbel {
namespace detail {

class CaptureTap {
public:
    // The device's bulk endpoints, on which a transport's writes and reads
    // travel.
    static constexpr std::uint8_t kBulkOut = 0x01;
    static constexpr std::uint8_t kBulkIn = 0x81;

    // Joins the capture ZORBEL_CAPTURE names, if any.
    CaptureTap();
    ~CaptureTap();
    CaptureTap(const CaptureTap&) = delete;
    CaptureTap& operator=(const CaptureTap&) = delete;

    // handle->write / handle->read, recorded while a capture is attached.
    // A null handle fails (-1), as the transport treats a closed device.
    long write(host::DeviceHandle* handle, const unsigned char* data, unsigned int len) {
        if (!handle) return -1;
        if (!on_.load(std::memory_order_relaxed)) return handle->write(data, len);
        return recorded_write(*handle, data, len);
    }
    long read(host::DeviceHandle* handle, unsigned char* buf, unsigned int len) {
        if (!handle) return -1;
        if (!on_.load(std::memory_order_relaxed)) return handle->read(buf, len);
        return recorded_read(*handle, buf, len);
    }

    // Records into `file` from now on (null: stop recording). The file
    // closes when the last tap using it lets go.
    void attach(std::shared_ptr<CaptureFile> file);
    // The file recorded into now (null when none).
    std::shared_ptr<CaptureFile> file();

    // The capture ZORBEL_CAPTURE names, shared by every tap; null when the
    // variable is unset or empty, or the file cannot be made (logged).
    static std::shared_ptr<CaptureFile> environment_file();

private:
    long recorded_write(host::DeviceHandle& handle, const unsigned char* data, unsigned int len);
    long recorded_read(host::DeviceHandle& handle, unsigned char* buf, unsigned int len);

    std::atomic<bool> on_{false};
    Mutex mutex_;
    std::shared_ptr<CaptureFile> file_ GUARDED_BY(mutex_);
};

}  // namespace detail
}  // namespace zorbel

#endif
