#include "usb/libusb/libusb_context.h"

#include <algorithm>

#include "usb/libusb/libusb_handle.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace host {

LibusbContext::LibusbContext() {
    if (libusb_init(&ctx_) != 0) {
        ctx_ = nullptr;
        return;
    }
    // A departure ends the transfers of the handles on that device at once;
    // both arrivals and departures tell the watchers (Backend::watch) to look
    // again. Where the platform has no hot-plug support a departed device
    // still ends its transfers with "no device", and watchers poll.
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        hotplug_registered_ = libusb_hotplug_register_callback(
                                  ctx_,
                                  static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                                    LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                                  LIBUSB_HOTPLUG_NO_FLAGS, ZORBEL_USB_VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY,
                                  LIBUSB_HOTPLUG_MATCH_ANY, &LibusbContext::on_hotplug, this,
                                  &hotplug_handle_) == LIBUSB_SUCCESS;
    }
    event_thread_ = std::thread(&LibusbContext::run_events, this);
}

LibusbContext::~LibusbContext() {
    if (ctx_ == nullptr) return;
    if (hotplug_registered_) libusb_hotplug_deregister_callback(ctx_, hotplug_handle_);
    stopping_.store(true);
    libusb_interrupt_event_handler(ctx_);
    event_thread_.join();
    libusb_exit(ctx_);
}

void LibusbContext::run_events() {
    // Sleeps in libusb's poll until a transfer completes, a hot-plug event
    // arrives or the destructor interrupts it.
    while (!stopping_.load()) libusb_handle_events_completed(ctx_, nullptr);
}

int LIBUSB_CALL LibusbContext::on_hotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event,
                                          void* self) {
    auto* context = static_cast<LibusbContext*>(self);
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
        detail::MutexLock lock(context->handles_mutex_);
        for (LibusbHandle* h : context->handles_)
            if (h->device() == dev) h->device_gone();
    }
    context->listeners_.notify();
    return 0;  // stay registered
}

std::shared_ptr<void> LibusbContext::watch(std::function<void()> changed) {
    if (!hotplug_registered_) return nullptr;
    return listeners_.add(std::move(changed));
}

void LibusbContext::add(LibusbHandle* handle) {
    detail::MutexLock lock(handles_mutex_);
    handles_.push_back(handle);
}

void LibusbContext::remove(LibusbHandle* handle) {
    detail::MutexLock lock(handles_mutex_);
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
}

}  // namespace host
}  // namespace zorbel
