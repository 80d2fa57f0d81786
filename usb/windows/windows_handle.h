// An open device on Windows: the device driver's four I/O control requests
// on a handle opened through the device-call table.
#ifndef ZORBEL_USB_WINDOWS_WINDOWS_HANDLE_H
#define ZORBEL_USB_WINDOWS_WINDOWS_HANDLE_H

#include <condition_variable>

#include "support/mutex.h"
#include "usb/host.h"
#include "usb/windows/win32_device_calls.h"

namespace zorbel {
namespace host {

// A normal-mode device is opened for overlapped I/O: every request then
// carries an OVERLAPPED record with an event of its own and is waited for
// with GetOverlappedResult, and the reader's read is the request that
// cancel_read() ends with CancelIoEx (CancelIo would reach only requests of
// the thread that calls it, and the cancel comes from another thread). A
// boot-mode device is opened without overlapped I/O; its requests wait in
// DeviceIoControl.
//
// close() never closes the system handle while another thread is inside a
// request on it: it marks the handle closed, cancels what is under way, waits
// for the requests to leave, and only then calls CloseHandle. A handle value
// that the system hands out again after the close can so never receive a
// request meant for this device.
//
// Thread-safety: as DeviceHandle requires. One mutex guards the handle's
// state; it is held around CancelIoEx (which does not wait for the request
// to end) but never across a request or its wait.
class WindowsHandle final : public DeviceHandle {
public:
    // Takes over `handle`, opened through `calls` (which must outlive this
    // object), with FILE_FLAG_OVERLAPPED when `overlapped`.
    WindowsHandle(const win32::DeviceCalls& calls, HANDLE handle, bool overlapped);
    ~WindowsHandle() override;
    WindowsHandle(const WindowsHandle&) = delete;
    WindowsHandle& operator=(const WindowsHandle&) = delete;

    long read(unsigned char* buf, unsigned int len) override;
    void cancel_read() override;
    long write(const unsigned char* data, unsigned int len) override;
    bool get_info(unsigned char* record) override;
    int boot(const void* image, unsigned int size) override;
    void close() override;

private:
    // Counts a request in; INVALID_HANDLE_VALUE once the handle is closed.
    HANDLE enter();
    void leave();
    // One request and, on an overlapped handle, the wait for it, with
    // `overlapped` (zeroed here) and its event. `is_read`: the request is the
    // reader's, which cancel_read() also ends. False with the last error
    // set when the request failed.
    bool run(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD& returned,
             OVERLAPPED& overlapped, HANDLE event, bool is_read);

    const win32::DeviceCalls& calls_;
    const bool overlapped_;
    // The reader's event (auto-reset) for the handle's life, as one read is
    // under way at a time; other requests make their own.
    const HANDLE read_event_;
    OVERLAPPED read_overlapped_;  // the reader's alone

    detail::Mutex mutex_;
    std::condition_variable changed_;
    HANDLE handle_ GUARDED_BY(mutex_);
    enum class State { open, closing, closed };
    State state_ GUARDED_BY(mutex_) = State::open;
    int requests_ GUARDED_BY(mutex_) = 0;  // threads between enter() and leave()
    bool reading_ GUARDED_BY(mutex_) = false;
    bool read_issued_ GUARDED_BY(mutex_) = false;  // the reader's request is with the driver
    bool cancel_read_ GUARDED_BY(mutex_) = false;  // aimed at the read under way
    bool cancel_next_ GUARDED_BY(mutex_) = false;  // came while no read was under way
};

}  // namespace host
}  // namespace zorbel

#endif
