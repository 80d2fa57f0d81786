#include "usb/windows/windows_backend.h"

#include "usb/windows/driver_interface.h"
#include "usb/windows/interface_set.h"
#include "usb/windows/windows_handle.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {
namespace {

OpenFailure open_failure(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return OpenFailure::no_device;
        case ERROR_ACCESS_DENIED:
            return OpenFailure::permission_denied;
        case ERROR_SHARING_VIOLATION:
            return OpenFailure::busy;
        default:
            return OpenFailure::io_error;
    }
}

// The path of the device of `kind` at `index`; false with the reason when
// the class has no such member or its path cannot be read.
bool device_path(const win32::DeviceCalls& calls, int kind, int index, char* path, OpenFailure& failure) {
    win32::InterfaceSet set(calls, win32::class_of(kind));
    if (!set.valid()) {
        failure = OpenFailure::io_error;
        return false;
    }
    SP_DEVICE_INTERFACE_DATA data;
    if (!set.member(index, data)) {
        failure = ::GetLastError() == ERROR_NO_MORE_ITEMS ? OpenFailure::no_device : OpenFailure::io_error;
        return false;
    }
    if (!set.path(data, path)) {
        failure = OpenFailure::io_error;
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<DeviceHandle> WindowsBackend::open(int kind, int index, OpenFailure& failure) {
    const win32::DeviceCalls& calls = win32::device_calls();
    failure = OpenFailure::no_device;
    if (index < 0) return nullptr;
    char path[win32::kDevicePathBufferSize];
    if (!device_path(calls, kind, index, path, failure)) return nullptr;
    // The presence test: a device that is listed but refuses the open is
    // not there for the caller.
    const HANDLE test = calls.create_file(path, win32::kDeviceAccess, win32::kDeviceShare, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
    if (test == INVALID_HANDLE_VALUE) {
        failure = open_failure(::GetLastError());
        return nullptr;
    }
    calls.close_handle(test);
    const bool overlapped = kind == DEVICE_KIND_NORMAL;
    const HANDLE handle = calls.create_file(path, win32::kDeviceAccess, win32::kDeviceShare, nullptr,
                                            OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failure = open_failure(::GetLastError());
        return nullptr;
    }
    failure = OpenFailure::none;
    return std::make_shared<WindowsHandle>(calls, handle, overlapped);
}

}  // namespace host
}  // namespace zorbel
