// The fake's USB stack: host controllers and hubs of the emulated bus's tree
// answering the four hub requests with the system's records.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <vector>

#include "usb/windows/driver_interface.h"
#include "usb/windows/testing/fake_driver_state.h"
#include "usb/windows/testing/fake_setupapi.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace testing {
namespace fake {
namespace {

// Hub names in the shape the stack gives them: the hub's device instance
// and the hub interface class.
const char kHubPrefix[] = "USB#VID_1209&PID_0001#";
const char kHubSuffix[] = "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

// The records' fixed parts: USB_NODE_CONNECTION_INFORMATION before its pipe
// list, and one USB_PIPE_INFO (endpoint descriptor and schedule offset).
constexpr DWORD kConnectionFixed = 35;
constexpr DWORD kPipeInfoSize = 11;

void put_u16(unsigned char* p, unsigned v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t u32_at(const void* at) {
    const auto* p = static_cast<const unsigned char*>(at);
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool same_text(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A record with a UTF-16 name at `offset`: the size the whole record needs
// in its 32-bit field at `length_at`, and as much of the name as fits, with
// its zero when that fits too. Returns the bytes the request gives back.
DWORD put_name(unsigned char* out, DWORD out_size, DWORD length_at, DWORD offset, const std::string& name) {
    const DWORD needed = offset + 2 * static_cast<DWORD>(name.size() + 1);
    put_u32(out + length_at, needed);
    for (std::size_t k = 0; k <= name.size() && offset + 2 * k + 2 <= out_size; ++k)
        put_u16(out + offset + 2 * k, k < name.size() ? static_cast<unsigned char>(name[k]) : 0);
    return std::min(out_size, needed);
}

BOOL connection_information(host::Backend& emulated, const std::string& hub, int ports, const void* in,
                            DWORD in_size, unsigned char* out, DWORD out_size, DWORD* returned) {
    if (!in || in_size < kConnectionFixed || !out || out_size < kConnectionFixed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const std::uint32_t port = u32_at(in);
    if (port < 1 || static_cast<int>(port) > ports) return fail(ERROR_INVALID_PARAMETER);
    host::PortInfo info;
    if (!emulated.port_info(hub, static_cast<int>(port), info)) return fail(ERROR_GEN_FAILURE);
    std::vector<unsigned char> record(kConnectionFixed + 2 * kPipeInfoSize, 0);
    unsigned char* r = record.data();
    put_u32(r + 0, port);
    if (info.vendor_id != 0 || info.product_id != 0) {
        // The device descriptor, kept by the port also when it reports no
        // connection (a device that failed or is still enumerating).
        r[4] = 18;
        r[5] = 1;
        put_u16(r + 6, 0x0200);
        r[8] = info.is_hub ? 9 : 0;
        r[11] = 64;
        put_u16(r + 12, info.vendor_id);
        put_u16(r + 14, info.product_id);
        put_u16(r + 16, 0x0100);
        r[21] = 1;
    }
    r[22] = info.connected ? 1 : 0;  // CurrentConfigurationValue
    r[24] = info.is_hub ? 1 : 0;
    put_u16(r + 25, info.connected ? port + 1 : 0);  // DeviceAddress
    DWORD pipes = 0;
    if (info.connected) {
        const bool ours = info.vendor_id == ZORBEL_USB_VENDOR_ID;
        pipes = info.is_hub ? 1 : ours ? 2 : 0;
        for (DWORD k = 0; k < pipes; ++k) {
            unsigned char* pipe = r + kConnectionFixed + k * kPipeInfoSize;
            pipe[0] = 7;
            pipe[1] = 5;
            pipe[2] = static_cast<unsigned char>(k == 0 ? 0x81 : 0x02);
            pipe[3] = info.is_hub ? 3 : 2;  // interrupt for a hub, else bulk
            put_u16(pipe + 4, info.is_hub ? 1 : 512);
        }
    }
    put_u32(r + 27, pipes);
    put_u32(r + 31, info.connected ? 1 : 0);  // DeviceConnected, NoDeviceConnected
    const DWORD size = std::min<DWORD>(out_size, kConnectionFixed + pipes * kPipeInfoSize);
    std::memcpy(out, r, size);
    if (returned) *returned = size;
    return TRUE;
}

// What both name requests read first: records of at least the probe's size
// and a port of the hub, with what is on it. False, with the error set, when
// they do not hold.
bool port_of_name_request(host::Backend& emulated, const std::string& hub, int ports, const void* in,
                          DWORD in_size, const unsigned char* out, DWORD out_size, std::uint32_t& port,
                          host::PortInfo& info) {
    if (!in || in_size < host::win32::kConnectionNameProbeSize || !out ||
        out_size < host::win32::kConnectionNameProbeSize) {
        fail(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    port = u32_at(in);
    if (port < 1 || static_cast<int>(port) > ports) {
        fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!emulated.port_info(hub, static_cast<int>(port), info)) {
        fail(ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

BOOL connection_name(host::Backend& emulated, const std::string& hub, int ports, const void* in,
                     DWORD in_size, unsigned char* out, DWORD out_size, DWORD* returned) {
    std::uint32_t port = 0;
    host::PortInfo info;
    if (!port_of_name_request(emulated, hub, ports, in, in_size, out, out_size, port, info)) return FALSE;
    std::string child;
    if (info.is_hub && !emulated.port_hub_name(hub, static_cast<int>(port), child))
        return fail(ERROR_GEN_FAILURE);
    std::memset(out, 0, out_size);
    put_u32(out, port);
    // A port without a hub has no name: the record's fixed part alone.
    const std::string name = info.is_hub ? stack_hub_name(child) : std::string();
    const DWORD n = put_name(out, out_size, host::win32::kConnectionNameLengthOffset,
                             host::win32::kConnectionNameOffset, name);
    if (returned) *returned = n;
    return TRUE;
}

// The place of a hub on the emulated bus, as locations are written: "3-"
// for the root hub of controller 2, "3-4.2" for a hub below it.
bool hub_place(host::Backend& emulated, const std::string& hub, std::string& place) {
    std::function<bool(const std::string&, const std::string&, int)> search =
        [&](const std::string& at, const std::string& here, int tier) {
            if (at == hub) {
                place = here;
                return true;
            }
            int ports = 0;
            if (tier > 7 || !emulated.hub_port_count(at, ports)) return false;
            for (int port = 1; port <= ports; ++port) {
                std::string child;
                if (emulated.port_hub_name(at, port, child) &&
                    search(child, here + (tier == 1 ? "" : ".") + std::to_string(port), tier + 1))
                    return true;
            }
            return false;
        };
    for (int controller = 0; controller <= 9; ++controller) {
        std::string root;
        if (emulated.root_hub_name(controller, root) && search(root, std::to_string(controller + 1) + "-", 1))
            return true;
    }
    return false;
}

BOOL connection_driver_key(host::Backend& emulated, const std::string& hub, int ports, const void* in,
                           DWORD in_size, unsigned char* out, DWORD out_size, DWORD* returned) {
    std::uint32_t port = 0;
    host::PortInfo info;
    if (!port_of_name_request(emulated, hub, ports, in, in_size, out, out_size, port, info)) return FALSE;
    std::string place;
    if (!hub_place(emulated, hub, place)) return fail(ERROR_GEN_FAILURE);
    std::memset(out, 0, out_size);
    put_u32(out, port);
    // Only a device that is there has a driver.
    const std::string key = info.connected && !info.is_hub
                                ? driver_key(place + (place.back() == '-' ? "" : ".") + std::to_string(port))
                                : std::string();
    const DWORD n = put_name(out, out_size, host::win32::kConnectionNameLengthOffset,
                             host::win32::kConnectionNameOffset, key);
    if (returned) *returned = n;
    return TRUE;
}

}  // namespace

std::string stack_hub_name(const std::string& emulated_name) {
    return kHubPrefix + emulated_name + kHubSuffix;
}

bool emulated_hub_name(const std::string& stack_name, std::string& emulated_name) {
    const std::size_t prefix = sizeof kHubPrefix - 1;
    const std::size_t suffix = sizeof kHubSuffix - 1;
    if (stack_name.size() <= prefix + suffix || !same_text(stack_name.substr(0, prefix), kHubPrefix) ||
        !same_text(stack_name.substr(stack_name.size() - suffix), kHubSuffix))
        return false;
    emulated_name = stack_name.substr(prefix, stack_name.size() - prefix - suffix);
    return true;
}

BOOL usb_stack_request(host::Backend& emulated, const FakeHandle& node, DWORD code, void* in, DWORD in_size,
                       void* out, DWORD out_size, DWORD* returned) {
    auto* o = static_cast<unsigned char*>(out);
    if (node.kind == FakeHandle::Kind::controller) {
        if (code != host::win32::kIoctlUsbGetRootHubName) return fail(ERROR_INVALID_FUNCTION);
        if (!o || out_size < host::win32::kRootHubNameProbeSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::string hub;
        if (!emulated.root_hub_name(node.controller, hub)) return fail(ERROR_GEN_FAILURE);
        std::memset(o, 0, out_size);
        const DWORD n = put_name(o, out_size, 0, host::win32::kRootHubNameOffset, stack_hub_name(hub));
        if (returned) *returned = n;
        return TRUE;
    }
    int ports = 0;
    if (!emulated.hub_port_count(node.hub, ports)) return fail(ERROR_DEVICE_NOT_CONNECTED);
    switch (code) {
        case host::win32::kIoctlUsbGetNodeInformation:
            if (!o || out_size < host::win32::kNodeInformationSize) return fail(ERROR_INSUFFICIENT_BUFFER);
            std::memset(o, 0, host::win32::kNodeInformationSize);
            // NodeType UsbHub (0), then the hub descriptor.
            o[4] = 9;
            o[5] = 0x29;
            o[6] = static_cast<unsigned char>(ports);
            o[9] = 50;
            if (returned) *returned = host::win32::kNodeInformationSize;
            return TRUE;
        case host::win32::kIoctlUsbGetNodeConnectionInformation:
            return connection_information(emulated, node.hub, ports, in, in_size, o, out_size, returned);
        case host::win32::kIoctlUsbGetNodeConnectionName:
            return connection_name(emulated, node.hub, ports, in, in_size, o, out_size, returned);
        case host::win32::kIoctlUsbGetNodeConnectionDriverKeyName:
            return connection_driver_key(emulated, node.hub, ports, in, in_size, o, out_size, returned);
        default:
            return fail(ERROR_INVALID_FUNCTION);
    }
}

}  // namespace fake
}  // namespace testing
}  // namespace zorbel
