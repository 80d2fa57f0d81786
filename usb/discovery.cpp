#include "usb/discovery.h"

namespace zorbel {

bool device_present(int kind, int index, host::OpenFailure* failure) {
    host::OpenFailure why = host::OpenFailure::no_device;
    bool present = false;
    if (index >= 0) {
        std::shared_ptr<host::Backend> backend = host::current_backend();
        std::shared_ptr<host::DeviceHandle> handle = backend->open(kind, index, why);
        if (handle) {
            handle->close();
            present = true;
        }
    }
    if (failure) *failure = present ? host::OpenFailure::none : why;
    return present;
}

std::shared_ptr<host::DeviceHandle> open_device(int kind, int index, host::OpenFailure* failure) {
    // Two opens, as the device functions have always made them: the presence
    // test opens and closes, then the open that the caller keeps. A device
    // that vanishes in between yields null like an absent one.
    if (!device_present(kind, index, failure)) return nullptr;
    host::OpenFailure why = host::OpenFailure::none;
    std::shared_ptr<host::DeviceHandle> handle = host::current_backend()->open(kind, index, why);
    if (failure) *failure = why;
    return handle;
}

void note_worse_failure(host::OpenFailure& kept, host::OpenFailure seen) {
    // Ordered from least to most telling.
    auto rank = [](host::OpenFailure f) {
        switch (f) {
            case host::OpenFailure::none:
                return 0;
            case host::OpenFailure::no_device:
                return 1;
            case host::OpenFailure::io_error:
                return 2;
            case host::OpenFailure::busy:
                return 3;
            case host::OpenFailure::permission_denied:
                return 4;
        }
        return 0;
    };
    if (rank(seen) > rank(kept)) kept = seen;
}

}  // namespace zorbel
