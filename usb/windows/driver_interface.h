// What the Windows backend relies on below it: the interface classes that the
// device's kernel driver registers, its four I/O control requests, and the
// USB host-controller and hub requests of the system's USB stack, with the
// record sizes and field offsets the backend reads. The records are read as
// bytes at these offsets (they are packed on the wire of the request, which
// no compiler's struct layout has to match).
#ifndef ZORBEL_USB_WINDOWS_DRIVER_INTERFACE_H
#define ZORBEL_USB_WINDOWS_DRIVER_INTERFACE_H

#include "usb/windows/win32_device_calls.h"

namespace zorbel {
namespace host {
namespace win32 {

// Interface classes: {B66756D6-C253-43B1-A065-80913EC5AC72} for a device
// running normally, {00873FDF-61A8-11D1-AA5E-00C04FB1728B} for one waiting in
// its boot loader.
constexpr GUID kGuidZorbelNormal = {
    0xB66756D6, 0xC253, 0x43B1, {0xA0, 0x65, 0x80, 0x91, 0x3E, 0xC5, 0xAC, 0x72}};
constexpr GUID kGuidZorbelBoot = {
    0x00873FDF, 0x61A8, 0x11D1, {0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B}};

// Discovery: the present interfaces of a class (DIGCF_PRESENT |
// DIGCF_DEVICEINTERFACE), and the longest device path taken, with its zero.
constexpr DWORD kClassDevsFlags = 0x12;
constexpr unsigned kDevicePathBufferSize = 256;
// The cbSize the system's SetupAPI demands of its two records: 28 and 5 in a
// 32-bit program, 32 and 8 in a 64-bit one (the records hold a pointer-sized
// field and are aligned to it). Any other value is refused.
constexpr DWORD kInterfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kInterfaceDetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
#ifndef _WIN64
static_assert(kInterfaceDataSize == 28 && kInterfaceDetailSize == 5, "32-bit SetupAPI records");
#endif
// Where DevicePath starts in the detail record, after its 4-byte cbSize.
constexpr DWORD kDetailPathOffset = 4;

// Opening a device: GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
// FILE_SHARE_WRITE, OPEN_EXISTING.
constexpr DWORD kDeviceAccess = 0xC0000000;
constexpr DWORD kDeviceShare = 3;

// The device driver's requests (device type 0x22, buffered, any access).
constexpr DWORD kIoctlZorbelRead = 0x2200A0;
constexpr DWORD kIoctlZorbelWrite = 0x2200A4;
constexpr DWORD kIoctlZorbelGetInfo = 0x22010C;
constexpr DWORD kIoctlZorbelBoot = 0x22003C;

// Host controllers \\.\HCD0 to \\.\HCD9 and hubs are opened with
// GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, no flags.
constexpr DWORD kHubAccess = 0x40000000;
constexpr DWORD kHubShare = 2;

// The USB stack's requests. The root hub's name and a hub's node
// information share one number: the first is made on a controller, the
// second on a hub.
constexpr DWORD kIoctlUsbGetRootHubName = 0x220408;
constexpr DWORD kIoctlUsbGetNodeInformation = 0x220408;
constexpr DWORD kIoctlUsbGetNodeConnectionInformation = 0x22040C;
constexpr DWORD kIoctlUsbGetNodeConnectionName = 0x220414;
// For location() alone: the driver key of the device at a port, in a record
// laid out as USB_NODE_CONNECTION_NAME (USB_NODE_CONNECTION_DRIVERKEY_NAME),
// which the device's SPDRP_DRIVER registry property also names.
constexpr DWORD kIoctlUsbGetNodeConnectionDriverKeyName = 0x220420;

// USB_ROOT_HUB_NAME: ActualLength (32-bit) at 0, the UTF-16 name at 4; the
// size probe is the 6-byte record.
constexpr DWORD kRootHubNameProbeSize = 6;
constexpr DWORD kRootHubNameOffset = 4;
// USB_NODE_INFORMATION: bNumberOfPorts at 6.
constexpr DWORD kNodeInformationSize = 76;
constexpr DWORD kNodePortCountOffset = 6;
// USB_NODE_CONNECTION_INFORMATION: the fixed part and room for 30 pipes.
constexpr DWORD kConnectionInformationSize = 365;
constexpr DWORD kConnectionIndexOffset = 0;
constexpr DWORD kConnectionVendorOffset = 12;
constexpr DWORD kConnectionProductOffset = 14;
constexpr DWORD kConnectionIsHubOffset = 24;
constexpr DWORD kConnectionStatusOffset = 31;
constexpr DWORD kDeviceConnected = 1;
// USB_NODE_CONNECTION_NAME: ConnectionIndex at 0, ActualLength at 4, the
// UTF-16 name at 8; the size probe is the 10-byte record.
constexpr DWORD kConnectionNameProbeSize = 10;
constexpr DWORD kConnectionNameLengthOffset = 4;
constexpr DWORD kConnectionNameOffset = 8;

}  // namespace win32
}  // namespace host
}  // namespace zorbel

#endif
