// The fake kernel driver's SetupAPI (fake_kernel_driver.h): device
// information sets of the driver's interface classes, listing the emulated
// bus's present devices under interface paths made from their places.
#ifndef ZORBEL_USB_WINDOWS_TESTING_FAKE_SETUPAPI_H
#define ZORBEL_USB_WINDOWS_TESTING_FAKE_SETUPAPI_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/mutex.h"
#include "usb/host.h"
#include "usb/windows/testing/fake_kernel_driver.h"

namespace zorbel {
namespace testing {
namespace fake {

// "\\?\usb#vid_0b66&pid_0041#<place>#{class}" for the device of `kind` at
// `place` ("1-4.2"), and back; false when the path names no such interface.
std::string interface_path(int kind, const std::string& place);
bool parse_interface_path(const std::string& path, int& kind, std::string& place);
// The driver key (SPDRP_DRIVER) of the device at `place`, which the USB stack
// also reports for its port.
std::string driver_key(const std::string& place);
std::string lower(std::string text);

// Thread-safety: every call from any thread.
class FakeSetupApi {
public:
    explicit FakeSetupApi(std::shared_ptr<host::Backend> emulated) : emulated_(std::move(emulated)) {}

    HDEVINFO class_devs(const GUID* guid, PCSTR enumerator, DWORD flags);
    BOOL enum_interfaces(HDEVINFO key, const GUID* guid, DWORD index, PSP_DEVICE_INTERFACE_DATA data);
    BOOL interface_detail(HDEVINFO key, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA device);
    BOOL registry_property(HDEVINFO key, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                           DWORD size, PDWORD required);
    BOOL destroy_set(HDEVINFO key);

    // Its part of the log.
    void log_into(FakeKernelDriver::Log& log) const;
    void clear_log();
    int open_sets() const;
    int misuses() const;
    void clear_sets();

private:
    struct InterfaceSet {
        GUID guid = {};
        std::vector<std::string> places;  // of the present interfaces when made
        int kind = -1;
    };
    // The member a record names (its Reserved field), or -1.
    static int member_of(const InterfaceSet& set, ULONG_PTR reserved);
    BOOL misuse() REQUIRES(mutex_);

    const std::shared_ptr<host::Backend> emulated_;
    mutable detail::Mutex mutex_;
    std::map<HDEVINFO, std::unique_ptr<InterfaceSet>> sets_ GUARDED_BY(mutex_);
    std::vector<FakeKernelDriver::ClassDevsCall> class_devs_ GUARDED_BY(mutex_);
    std::vector<FakeKernelDriver::InterfaceCall> interfaces_ GUARDED_BY(mutex_);
    std::vector<FakeKernelDriver::DetailCall> details_ GUARDED_BY(mutex_);
    int misuses_ GUARDED_BY(mutex_) = 0;
};

}  // namespace fake
}  // namespace testing
}  // namespace zorbel

#endif
