#include "usb/windows/win32_device_calls.h"

#include <atomic>

namespace zorbel {
namespace host {
namespace win32 {
namespace {

const DeviceCalls kSystemCalls = {
    ::SetupDiGetClassDevsA,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiGetDeviceInterfaceDetailA,
    ::SetupDiGetDeviceRegistryPropertyA,
    ::SetupDiDestroyDeviceInfoList,
    ::CreateFileA,
    ::DeviceIoControl,
    ::GetOverlappedResult,
    ::CancelIoEx,
    ::CloseHandle,
};

// Null until a test installs a table: the system's then.
std::atomic<const DeviceCalls*> installed{nullptr};

}  // namespace

const DeviceCalls& system_device_calls() { return kSystemCalls; }

const DeviceCalls& device_calls() {
    const DeviceCalls* calls = installed.load(std::memory_order_acquire);
    return calls ? *calls : kSystemCalls;
}

ScopedDeviceCalls::ScopedDeviceCalls(const DeviceCalls& replacement)
    : previous_(installed.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedDeviceCalls::~ScopedDeviceCalls() { installed.store(previous_, std::memory_order_release); }

}  // namespace win32
}  // namespace host
}  // namespace zorbel
