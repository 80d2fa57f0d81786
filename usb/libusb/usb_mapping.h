// How the four device requests travel on the device's USB interface.
//
// The device has one configuration with one interface (number 0, alternate
// setting 0) of vendor class, in both modes:
//   - bulk OUT endpoint 0x01: block-protocol bytes to the device (normal
//     mode), the boot image (boot mode);
//   - bulk IN endpoint 0x81: block-protocol bytes from the device (normal
//     mode);
//   - vendor requests on the default control pipe (recipient: device):
//       GET_INFO     IN,  bRequest 0x01, wValue 0, wIndex 0, 44 bytes: the
//                    information record (22 UTF-16LE code units);
//       BOOT_BEGIN   OUT, bRequest 0x02, wValue = image size bits 0..15,
//                    wIndex = bits 16..31, no data: the next `size` bytes on
//                    the bulk OUT endpoint are the image;
//       BOOT_STATUS  IN,  bRequest 0x03, wValue 0, wIndex 0, 1 byte: 0 when
//                    the device took the image, anything else when it refused
//                    it. The device answers once the whole image is in.
// The same table serves the host backend and the emulated device that tests
// put behind a mocked usbfs node, so the two cannot drift apart.
#ifndef ZORBEL_USB_LIBUSB_USB_MAPPING_H
#define ZORBEL_USB_LIBUSB_USB_MAPPING_H

#include <cstdint>

namespace zorbel {
namespace usbmap {

constexpr int kInterfaceNumber = 0;
constexpr std::uint8_t kEndpointOut = 0x01;
constexpr std::uint8_t kEndpointIn = 0x81;

// bmRequestType for vendor requests addressed to the device.
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint8_t kVendorOut = 0x40;

constexpr std::uint8_t kRequestGetInfo = 0x01;
constexpr std::uint8_t kRequestBootBegin = 0x02;
constexpr std::uint8_t kRequestBootStatus = 0x03;

// Control requests get an answer from a working device within milliseconds;
// the limit only keeps a wedged device from holding a caller for ever.
constexpr unsigned int kControlTimeoutMs = 5000;

// Bulk IN: transfers of a whole number of packets (rounded down from this
// size), kept queued back to back. See docs/usb-mapping.md.
constexpr int kReadTransferSize = 16384;
constexpr int kReadsQueued = 2;

// A device that stops taking data fails the write (and so the flush) after
// this long instead of holding the writer for ever.
constexpr unsigned int kWriteTimeoutMs = 5000;

}  // namespace usbmap
}  // namespace zorbel

#endif
