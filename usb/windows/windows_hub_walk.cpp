// The bus walk's four questions, asked of the system's USB stack: the root
// hub's name of a host controller, a hub's port count, a port's connection
// record, and the name of the hub at a port; and a device's place, found by
// its driver key. Each question opens its controller or hub, makes its
// request and closes it again. The records are byte buffers read at the
// offsets of driver_interface.h.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usb/hub_walk.h"
#include "usb/windows/driver_interface.h"
#include "usb/windows/interface_set.h"
#include "usb/windows/windows_backend.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {
namespace {

// Names are sized by the stack's own ActualLength; anything beyond this is
// not a name.
constexpr DWORD kMaxNameRecord = 4096;

std::uint32_t u32_at(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t u16_at(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
void put_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// A controller or hub, opened for the stack's requests and closed at the
// end of the scope.
class UsbNode {
public:
    UsbNode(const win32::DeviceCalls& calls, const std::string& path)
        : calls_(calls),
          handle_(calls.create_file(path.c_str(), win32::kHubAccess, win32::kHubShare, nullptr, OPEN_EXISTING,
                                    0, nullptr)) {}
    ~UsbNode() {
        if (valid()) calls_.close_handle(handle_);
    }
    UsbNode(const UsbNode&) = delete;
    UsbNode& operator=(const UsbNode&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

    // One request without overlapped I/O; the buffers may be the same.
    bool request(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) const {
        DWORD returned = 0;
        return calls_.device_io_control(handle_, code, in, in_size, out, out_size, &returned, nullptr) !=
               FALSE;
    }

private:
    const win32::DeviceCalls& calls_;
    const HANDLE handle_;
};

// A hub name as the stack gives it: printable, without path separators, so
// that \\.\ and the name open that hub and nothing else.
bool hub_name_usable(const std::string& name) {
    if (name.empty() || name.size() >= 256 || name.find("..") != std::string::npos) return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E || c == '\\' ||
            c == '/')
            return false;
    return true;
}

bool open_hub(const win32::DeviceCalls& calls, const std::string& hub, std::unique_ptr<UsbNode>& node) {
    if (!hub_name_usable(hub)) return false;
    node = std::make_unique<UsbNode>(calls, "\\\\.\\" + hub);
    return node->valid();
}

// The zero-terminated UTF-16 name in the `size` bytes at `text`, in the
// system's 8-bit code page. False when empty or not convertible.
bool narrow(const unsigned char* text, std::size_t size, std::string& name) {
    std::wstring wide;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const wchar_t unit = static_cast<wchar_t>(u16_at(text + i));
        if (unit == 0) break;
        wide += unit;
    }
    if (wide.empty()) return false;
    const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return false;
    std::string converted(static_cast<std::size_t>(length), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &converted[0], length, nullptr, nullptr) != length)
        return false;
    converted.resize(static_cast<std::size_t>(length) - 1);
    name = converted;
    return true;
}

// The name in a record laid out as USB_NODE_CONNECTION_NAME that `code`
// fills for `port`: the fixed part first, which reports the size of the
// whole record, then the whole. False when there is none.
bool connection_text(const UsbNode& node, DWORD code, int port, std::string& text) {
    if (port < 1 || port > 255) return false;
    unsigned char probe[win32::kConnectionNameProbeSize] = {};
    put_u32(probe, static_cast<std::uint32_t>(port));
    if (!node.request(code, probe, sizeof probe, probe, sizeof probe)) return false;
    // No more than the fixed part: nothing named at that port.
    const DWORD size = u32_at(probe + win32::kConnectionNameLengthOffset);
    if (size <= win32::kConnectionNameProbeSize || size > kMaxNameRecord) return false;
    std::vector<unsigned char> record(size, 0);
    put_u32(record.data(), static_cast<std::uint32_t>(port));
    if (!node.request(code, record.data(), size, record.data(), size)) return false;
    return narrow(record.data() + win32::kConnectionNameOffset, size - win32::kConnectionNameOffset, text);
}

// Registry key names compare without regard to case.
bool same_key(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool WindowsBackend::root_hub_name(int controller, std::string& hub) {
    if (controller < 0 || controller > 9) return false;
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\HCD%d", controller);
    UsbNode hcd(win32::device_calls(), path);
    if (!hcd.valid()) return false;
    // The fixed part first, which reports the size of the whole record.
    unsigned char probe[win32::kRootHubNameProbeSize] = {};
    if (!hcd.request(win32::kIoctlUsbGetRootHubName, nullptr, 0, probe, sizeof probe)) return false;
    const DWORD size = u32_at(probe);
    if (size <= win32::kRootHubNameOffset || size > kMaxNameRecord) return false;
    std::vector<unsigned char> record(size, 0);
    if (!hcd.request(win32::kIoctlUsbGetRootHubName, nullptr, 0, record.data(), size)) return false;
    std::string name;
    if (!narrow(record.data() + win32::kRootHubNameOffset, size - win32::kRootHubNameOffset, name) ||
        !hub_name_usable(name))
        return false;
    hub = name;
    return true;
}

bool WindowsBackend::hub_port_count(const std::string& hub, int& ports) {
    std::unique_ptr<UsbNode> node;
    if (!open_hub(win32::device_calls(), hub, node)) return false;
    unsigned char record[win32::kNodeInformationSize] = {};
    if (!node->request(win32::kIoctlUsbGetNodeInformation, record, sizeof record, record, sizeof record))
        return false;
    ports = record[win32::kNodePortCountOffset];
    return true;
}

bool WindowsBackend::port_info(const std::string& hub, int port, PortInfo& info) {
    if (port < 1 || port > 255) return false;
    std::unique_ptr<UsbNode> node;
    if (!open_hub(win32::device_calls(), hub, node)) return false;
    std::vector<unsigned char> record(win32::kConnectionInformationSize, 0);
    put_u32(&record[win32::kConnectionIndexOffset], static_cast<std::uint32_t>(port));
    if (!node->request(win32::kIoctlUsbGetNodeConnectionInformation, record.data(),
                       win32::kConnectionInformationSize, record.data(), win32::kConnectionInformationSize))
        return false;
    info = PortInfo();
    info.connected = u32_at(&record[win32::kConnectionStatusOffset]) == win32::kDeviceConnected;
    info.vendor_id = u16_at(&record[win32::kConnectionVendorOffset]);
    info.product_id = u16_at(&record[win32::kConnectionProductOffset]);
    info.is_hub = record[win32::kConnectionIsHubOffset] != 0;
    return true;
}

bool WindowsBackend::port_hub_name(const std::string& hub, int port, std::string& name) {
    std::unique_ptr<UsbNode> node;
    std::string text;
    if (!open_hub(win32::device_calls(), hub, node) ||
        !connection_text(*node, win32::kIoctlUsbGetNodeConnectionName, port, text) || !hub_name_usable(text))
        return false;
    name = text;
    return true;
}

std::string WindowsBackend::location(int kind, int index) {
    const win32::DeviceCalls& calls = win32::device_calls();
    std::string key;
    {
        win32::InterfaceSet set(calls, win32::class_of(kind));
        SP_DEVICE_INTERFACE_DATA data;
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        char path[win32::kDevicePathBufferSize];
        if (index < 0 || !set.valid() || !set.member(index, data) || !set.path(data, path, &device) ||
            !set.driver_key(device, key))
            return std::string();
    }
    const std::uint16_t product =
        kind == DEVICE_KIND_NORMAL ? ZORBEL_USB_PRODUCT_NORMAL : ZORBEL_USB_PRODUCT_BOOT;
    // The bus walk's way down (usb/hub_walk.cpp), keeping the port path, up
    // to the port whose device has that driver key.
    std::string found;
    std::function<bool(const std::string&, const std::string&, int)> walk =
        [&](const std::string& hub, const std::string& place, int tier) {
            int ports = 0;
            if (!hub_port_count(hub, ports)) return false;
            for (int port = 1; port <= ports; ++port) {
                PortInfo info;
                if (!port_info(hub, port, info)) continue;
                const std::string here = place + (tier == 1 ? "" : ".") + std::to_string(port);
                if (info.connected && info.vendor_id == ZORBEL_USB_VENDOR_ID && info.product_id == product) {
                    std::unique_ptr<UsbNode> node;
                    std::string at;
                    if (open_hub(calls, hub, node) &&
                        connection_text(*node, win32::kIoctlUsbGetNodeConnectionDriverKeyName, port, at) &&
                        same_key(at, key)) {
                        found = here;
                        return true;
                    }
                }
                std::string child;
                if (info.is_hub && tier < kMaxHubTier && port_hub_name(hub, port, child) &&
                    walk(child, here, tier + 1))
                    return true;
            }
            return false;
        };
    for (int controller = 0; controller <= 9 && found.empty(); ++controller) {
        std::string root;
        if (root_hub_name(controller, root)) walk(root, std::to_string(controller + 1) + "-", 1);
    }
    return found;
}

}  // namespace host
}  // namespace zorbel
