#include "usb/discovery.h"

namespace zorbel {

bool device_present(int kind, int index) {
    if (index < 0) return false;
    std::shared_ptr<host::Backend> backend = host::current_backend();
    std::shared_ptr<host::DeviceHandle> handle = backend->open(kind, index);
    if (!handle) return false;
    handle->close();
    return true;
}

std::shared_ptr<host::DeviceHandle> open_device(int kind, int index) {
    // Two opens, as the device functions have always made them: the presence
    // test opens and closes, then the open that the caller keeps. A device
    // that vanishes in between yields null like an absent one.
    if (!device_present(kind, index)) return nullptr;
    return host::current_backend()->open(kind, index);
}

}  // namespace zorbel
