// The present device interfaces of one of the driver's classes, as SetupAPI
// lists them, with the records the backend reads of a member.
#ifndef ZORBEL_USB_WINDOWS_INTERFACE_SET_H
#define ZORBEL_USB_WINDOWS_INTERFACE_SET_H

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "usb/windows/driver_interface.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {
namespace win32 {

inline const GUID& class_of(int kind) {
    return kind == DEVICE_KIND_NORMAL ? kGuidZorbelNormal : kGuidZorbelBoot;
}

// The present interfaces of one class, released on every path.
class InterfaceSet {
public:
    InterfaceSet(const DeviceCalls& calls, const GUID& guid)
        : calls_(calls), guid_(guid), set_(calls.get_class_devs(&guid, nullptr, nullptr, kClassDevsFlags)) {}
    ~InterfaceSet() {
        if (valid()) calls_.destroy_device_info_list(set_);
    }
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }

    // The interface at `index`; false when the class has none there.
    bool member(int index, SP_DEVICE_INTERFACE_DATA& data) const {
        std::memset(&data, 0, sizeof data);
        data.cbSize = kInterfaceDataSize;
        return calls_.enum_device_interfaces(set_, nullptr, &guid_, static_cast<DWORD>(index), &data) !=
               FALSE;
    }

    // The member's device path, into `path` (kDevicePathBufferSize bytes).
    // False when the detail record cannot be read, or the path does not fit
    // (a cut path would name another object).
    // With `device` (cbSize set), also the record of the device behind it.
    bool path(SP_DEVICE_INTERFACE_DATA& data, char* path, SP_DEVINFO_DATA* device = nullptr) const {
        DWORD required = 0;
        calls_.get_device_interface_detail(set_, &data, nullptr, 0, &required, nullptr);
        if (required <= kDetailPathOffset) return false;
        // DWORDs, so that the record is aligned as the system wants it.
        const std::size_t bytes = std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        std::vector<DWORD> storage((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = kInterfaceDetailSize;
        if (!calls_.get_device_interface_detail(set_, &data, detail, required, nullptr, device)) return false;
        const char* text = reinterpret_cast<const char*>(storage.data()) + kDetailPathOffset;
        const std::size_t room = required - kDetailPathOffset;
        const std::size_t length = strnlen(text, room);
        if (length == room || length >= kDevicePathBufferSize) return false;
        std::memcpy(path, text, length + 1);
        return true;
    }

    // The driver key (SPDRP_DRIVER) of a device of the set.
    bool driver_key(SP_DEVINFO_DATA& device, std::string& key) const {
        char text[256] = {};
        DWORD type = 0;
        if (!calls_.get_device_registry_property(set_, &device, SPDRP_DRIVER, &type,
                                                 reinterpret_cast<PBYTE>(text), sizeof text - 1, nullptr) ||
            type != REG_SZ || text[0] == 0)
            return false;
        key = text;
        return true;
    }

private:
    const DeviceCalls& calls_;
    const GUID& guid_;
    const HDEVINFO set_;
};

}  // namespace win32
}  // namespace host
}  // namespace zorbel

#endif
