// The platform's own backend of the device host: libusb where the library was
// built with it (usb/libusb/), otherwise one with no devices (platform_none).
#ifndef ZORBEL_USB_PLATFORM_H
#define ZORBEL_USB_PLATFORM_H

#include <memory>

#include "usb/host.h"

namespace zorbel {
namespace host {

// Made once, on the first look at the backend in force while no emulated bus
// is alive; the result is kept for the rest of the process. Never null: a
// platform that cannot reach USB answers with an empty bus.
std::shared_ptr<Backend> make_platform_backend();

}  // namespace host
}  // namespace zorbel

#endif
