// Inside the fake kernel driver (fake_kernel_driver.h): its handles, the
// requests on them, and the USB stack's answers.
#ifndef ZORBEL_USB_WINDOWS_TESTING_FAKE_DRIVER_STATE_H
#define ZORBEL_USB_WINDOWS_TESTING_FAKE_DRIVER_STATE_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/mutex.h"
#include "usb/host.h"
#include "usb/windows/win32_device_calls.h"

namespace zorbel {
namespace testing {
namespace fake {

// Request states as the system keeps them in OVERLAPPED::Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;
constexpr ULONG_PTR kStatusDeviceNotConnected = 0xC000009D;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

// The Win32 error GetOverlappedResult reports for a request's status.
DWORD error_of(ULONG_PTR status);

// Ends an overlapped request as the system does: its byte count, then its
// status, then its event.
void complete(OVERLAPPED* overlapped, ULONG_PTR status, ULONG_PTR bytes);

// Fails a call with `error`, as the system's functions do.
BOOL fail(DWORD error);

// One open handle of the fake: a device, a host controller or a hub.
class FakeHandle {
public:
    enum class Kind { device, controller, hub };
    FakeHandle(Kind kind, std::string path, bool overlapped)
        : kind(kind), path(std::move(path)), overlapped(overlapped) {}
    ~FakeHandle();
    FakeHandle(const FakeHandle&) = delete;
    FakeHandle& operator=(const FakeHandle&) = delete;

    const Kind kind;
    const std::string path;
    const bool overlapped;                       // opened with FILE_FLAG_OVERLAPPED
    int controller = -1;                         // a controller's number
    std::string hub;                             // a hub's name on the emulated bus
    std::shared_ptr<host::DeviceHandle> device;  // a device's handle on the emulated bus

    // One of the device driver's requests (fake_device_requests.cpp).
    BOOL device_request(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned,
                        OVERLAPPED* overlapped);
    // Ends the pending reads made with `overlapped` (all when null); false
    // when there was none.
    bool cancel(const OVERLAPPED* overlapped);
    // The handle is closed: its pending reads end, the device's handle is
    // closed and the worker joined.
    void shut();

private:
    struct PendingRead {
        OVERLAPPED* overlapped;
        unsigned char* out;
        DWORD size;
    };
    BOOL read(unsigned char* out, DWORD size, DWORD* returned, OVERLAPPED* overlapped);
    // Hands received bytes to the oldest pending read.
    void complete_front_locked() REQUIRES(mutex_);
    void fail_reads_locked(ULONG_PTR status) REQUIRES(mutex_);
    void serve();

    detail::Mutex mutex_;
    std::condition_variable changed_;
    std::deque<PendingRead> reads_ GUARDED_BY(mutex_);
    std::vector<unsigned char> received_ GUARDED_BY(mutex_);  // from the device, not yet asked for
    bool device_failed_ GUARDED_BY(mutex_) = false;           // it left: every read fails
    bool ended_ GUARDED_BY(mutex_) = false;                   // closed
    std::thread worker_ GUARDED_BY(mutex_);
};

// The USB stack's requests on a controller or hub (fake_usb_stack.cpp).
BOOL usb_stack_request(host::Backend& emulated, const FakeHandle& node, DWORD code, void* in, DWORD in_size,
                       void* out, DWORD out_size, DWORD* returned);
// Hub names: the stack's, made from the emulated bus's and back.
std::string stack_hub_name(const std::string& emulated_name);
bool emulated_hub_name(const std::string& stack_name, std::string& emulated_name);

}  // namespace fake
}  // namespace testing
}  // namespace zorbel

#endif
