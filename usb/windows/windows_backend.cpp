#include "usb/windows/windows_backend.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "usb/hub_walk.h"
#include "usb/windows/driver_interface.h"
#include "usb/windows/windows_handle.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {
namespace {

const GUID& class_of(int kind) {
    return kind == DEVICE_KIND_NORMAL ? win32::kGuidZorbelNormal : win32::kGuidZorbelBoot;
}

// The present interfaces of one class, released on every path.
class InterfaceSet {
public:
    InterfaceSet(const win32::DeviceCalls& calls, const GUID& guid)
        : calls_(calls),
          guid_(guid),
          set_(calls.get_class_devs(&guid, nullptr, nullptr, win32::kClassDevsFlags)) {}
    ~InterfaceSet() {
        if (valid()) calls_.destroy_device_info_list(set_);
    }
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }

    // The interface at `index`; false when the class has none there.
    bool member(int index, SP_DEVICE_INTERFACE_DATA& data) const {
        std::memset(&data, 0, sizeof data);
        data.cbSize = win32::kInterfaceDataSize;
        return calls_.enum_device_interfaces(set_, nullptr, &guid_, static_cast<DWORD>(index), &data) !=
               FALSE;
    }

    // The member's device path, into `path` (kDevicePathBufferSize bytes).
    // False when the detail record cannot be read, or the path does not fit
    // (a cut path would name another object).
    bool path(SP_DEVICE_INTERFACE_DATA& data, char* path) const {
        DWORD required = 0;
        calls_.get_device_interface_detail(set_, &data, nullptr, 0, &required, nullptr);
        if (required <= win32::kDetailPathOffset) return false;
        // DWORDs, so that the record is aligned as the system wants it.
        const std::size_t bytes = std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        std::vector<DWORD> storage((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = win32::kInterfaceDetailSize;
        if (!calls_.get_device_interface_detail(set_, &data, detail, required, nullptr, nullptr))
            return false;
        const char* text = reinterpret_cast<const char*>(storage.data()) + win32::kDetailPathOffset;
        const std::size_t room = required - win32::kDetailPathOffset;
        const std::size_t length = strnlen(text, room);
        if (length == room || length >= win32::kDevicePathBufferSize) return false;
        std::memcpy(path, text, length + 1);
        return true;
    }

private:
    const win32::DeviceCalls& calls_;
    const GUID& guid_;
    const HDEVINFO set_;
};

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
    InterfaceSet set(calls, class_of(kind));
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

int listed_count(const win32::DeviceCalls& calls, int kind) {
    InterfaceSet set(calls, class_of(kind));
    if (!set.valid()) return 0;
    SP_DEVICE_INTERFACE_DATA data;
    int count = 0;
    while (set.member(count, data)) ++count;
    return count;
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

std::string WindowsBackend::location(int kind, int index) {
    if (index != 0 || listed_count(win32::device_calls(), kind) != 1) return std::string();
    const std::uint16_t product =
        kind == DEVICE_KIND_NORMAL ? ZORBEL_USB_PRODUCT_NORMAL : ZORBEL_USB_PRODUCT_BOOT;
    std::vector<std::string> places;
    // The walk of usb/hub_walk.cpp, keeping the port path down to each
    // device of ours.
    std::function<void(const std::string&, const std::string&, int)> walk =
        [&](const std::string& hub, const std::string& place, int tier) {
            int ports = 0;
            if (!hub_port_count(hub, ports)) return;
            for (int port = 1; port <= ports; ++port) {
                PortInfo info;
                if (!port_info(hub, port, info)) continue;
                const std::string here = place + (tier == 1 ? "" : ".") + std::to_string(port);
                if (info.connected && info.vendor_id == ZORBEL_USB_VENDOR_ID && info.product_id == product)
                    places.push_back(here);
                std::string child;
                if (info.is_hub && tier < kMaxHubTier && port_hub_name(hub, port, child))
                    walk(child, here, tier + 1);
            }
        };
    for (int controller = 0; controller <= 9; ++controller) {
        std::string root;
        if (root_hub_name(controller, root)) walk(root, std::to_string(controller + 1) + "-", 1);
    }
    return places.size() == 1 ? places.front() : std::string();
}

}  // namespace host
}  // namespace zorbel
