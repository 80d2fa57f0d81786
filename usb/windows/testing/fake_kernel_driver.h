// A fake of the device's kernel driver and of the system's USB stack, for
// the Windows backend's tests: installed as the device-call table
// (win32_device_calls.h) for its life, and backed by the devices of an
// emulated bus, as umockdev stands in for the kernel on Linux.
//
// What it models:
// - SetupAPI: a device information set lists the present devices of the
//   class asked for, in the emulated bus's order, under interface paths of
//   its own ("\\?\usb#vid_0b66&pid_0041#<place>#{class}"); records whose
//   cbSize is not the system's are refused, as SetupAPI refuses them.
// - Opening such a path gives a handle whose four I/O control requests go to
//   a handle of the emulated device opened for it. Reads complete
//   asynchronously: a worker per handle keeps the driver's own transfer
//   from the device going while a read request waits, and a request that is
//   cancelled (CancelIoEx) or whose handle is closed ends with
//   ERROR_OPERATION_ABORTED while that transfer goes on, its bytes kept for
//   the next read. A device that has left fails requests with
//   ERROR_DEVICE_NOT_CONNECTED; one that refuses a boot image stalls the
//   request (ERROR_GEN_FAILURE).
// - The USB stack: \\.\HCD0 to \\.\HCD9 and the hubs of the emulated bus's
//   tree with the four hub requests and their records, and the driver key
//   of the device at a port, which is also the SPDRP_DRIVER registry
//   property of its interfaces' device.
// - Handle values are reused once closed, lowest first, as the system reuses
//   them; a request on a value that is not open fails with
//   ERROR_INVALID_HANDLE and is counted as a misuse.
//
// Overlapped requests complete as the system completes them: the record's
// Internal and InternalHigh, then its event (the caller's real Win32 event)
// is set; GetOverlappedResult waits on that event.
//
// Thread-safety: every call from any thread. Destroy the fake only once no
// thread is inside a call on it; handles still open then are closed (their
// workers joined), so no thread of the fake outlives it.
#ifndef ZORBEL_USB_WINDOWS_TESTING_FAKE_KERNEL_DRIVER_H
#define ZORBEL_USB_WINDOWS_TESTING_FAKE_KERNEL_DRIVER_H

#include <memory>
#include <string>
#include <vector>

#include "usb/host.h"
#include "usb/windows/win32_device_calls.h"

namespace zorbel {
namespace testing {

class FakeDriverState;

class FakeKernelDriver {
public:
    // What the fake was asked, in order, for tests of the exact arguments.
    struct ClassDevsCall {
        GUID guid;
        DWORD flags;
        bool enumerator_null;
    };
    struct InterfaceCall {
        DWORD cb_size;
        DWORD index;
    };
    struct DetailCall {
        DWORD cb_size;  // of the record given; 0 when none was
        DWORD buffer_size;
    };
    struct OpenCall {
        std::string path;
        DWORD access;
        DWORD share;
        DWORD disposition;
        DWORD flags;
        bool plain;  // no security attributes and no template
    };
    struct RequestCall {
        std::string path;  // what the handle was opened on
        DWORD code;
        DWORD in_size;
        DWORD out_size;
        bool overlapped;  // an OVERLAPPED record was given
    };
    struct Log {
        std::vector<ClassDevsCall> class_devs;
        std::vector<InterfaceCall> interfaces;
        std::vector<DetailCall> details;
        std::vector<OpenCall> opens;
        std::vector<RequestCall> requests;
        std::vector<bool> result_waits;  // GetOverlappedResult's bWait
        int cancels = 0;                 // CancelIoEx calls that found a request
    };

    // Serves the devices and hubs of `emulated` (an emulated bus's backend,
    // which should not be the backend in force: the library would then reach
    // its devices directly).
    explicit FakeKernelDriver(std::shared_ptr<host::Backend> emulated);
    ~FakeKernelDriver();
    FakeKernelDriver(const FakeKernelDriver&) = delete;
    FakeKernelDriver& operator=(const FakeKernelDriver&) = delete;

    Log log() const;
    void clear_log();
    // Device handles and information sets open now.
    int open_handles() const;
    int open_sets() const;
    // Calls made on a handle or set that was not open.
    int misuses() const;
    // Fault fixture: every open of a device path fails with `error` (0: none).
    void set_open_error(DWORD error);

private:
    std::shared_ptr<FakeDriverState> state_;
    host::win32::ScopedDeviceCalls installed_;
};

}  // namespace testing
}  // namespace zorbel

#endif
