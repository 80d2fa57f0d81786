// The platform backend of a Windows build: the device's kernel driver.
#include "usb/platform.h"
#include "usb/windows/windows_backend.h"

namespace zorbel {
namespace host {

std::shared_ptr<Backend> make_platform_backend() { return std::make_shared<WindowsBackend>(); }

}  // namespace host
}  // namespace zorbel
