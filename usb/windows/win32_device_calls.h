// The Win32 calls through which the Windows backend reaches devices: device
// discovery (SetupAPI), opening, the I/O control requests and their
// completion, cancellation and closing. The backend never calls these
// functions by name; it goes through the table in force, which points at the
// system's own functions unless a test has put a fake of the device's kernel
// driver in their place (usb/windows/testing/fake_kernel_driver.h), as
// umockdev stands in for the kernel on Linux.
//
// Events, waits and the text conversions are not in the table: they are the
// system's own in tests too, since a fake driver completes requests by
// signalling the caller's real events.
#ifndef ZORBEL_USB_WINDOWS_WIN32_DEVICE_CALLS_H
#define ZORBEL_USB_WINDOWS_WIN32_DEVICE_CALLS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

namespace zorbel {
namespace host {
namespace win32 {

// Each entry has the signature of the Win32 function it stands for.
struct DeviceCalls {
    HDEVINFO(WINAPI* get_class_devs)(const GUID*, PCSTR, HWND, DWORD);  // SetupDiGetClassDevsA
    BOOL(WINAPI* enum_device_interfaces)                                // SetupDiEnumDeviceInterfaces
    (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
    BOOL(WINAPI* get_device_interface_detail)  // SetupDiGetDeviceInterfaceDetailA
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
     PSP_DEVINFO_DATA);
    BOOL(WINAPI* get_device_registry_property)  // SetupDiGetDeviceRegistryPropertyA
    (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* destroy_device_info_list)(HDEVINFO);  // SetupDiDestroyDeviceInfoList
    HANDLE(WINAPI* create_file)                        // CreateFileA
    (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* device_io_control)  // DeviceIoControl
    (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* get_overlapped_result)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);  // GetOverlappedResult
    BOOL(WINAPI* cancel_io_ex)(HANDLE, LPOVERLAPPED);                          // CancelIoEx
    BOOL(WINAPI* close_handle)(HANDLE);                                        // CloseHandle
};

// The system's own functions.
const DeviceCalls& system_device_calls();

// The table in force. The reference stays valid for as long as the table
// installed stays alive (the system's table: always). A handle keeps the
// table it was opened through for its whole life, so a device opened on a
// fake is closed on that fake.
//
// Thread-safety: any thread; a swap is atomic.
const DeviceCalls& device_calls();

// Puts `replacement` in force for its scope and the previous table back at
// its end. `replacement` must outlive every handle opened through it. Scopes
// nest and are to be ended in reverse order, as automatic objects are.
//
// Thread-safety: any thread; calls that already took the old table finish
// on it.
class ScopedDeviceCalls {
public:
    explicit ScopedDeviceCalls(const DeviceCalls& replacement);
    ~ScopedDeviceCalls();
    ScopedDeviceCalls(const ScopedDeviceCalls&) = delete;
    ScopedDeviceCalls& operator=(const ScopedDeviceCalls&) = delete;

private:
    const DeviceCalls* previous_;
};

}  // namespace win32
}  // namespace host
}  // namespace zorbel

#endif
