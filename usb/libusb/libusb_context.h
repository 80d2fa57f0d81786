// The libusb context that a backend and its open handles share, with the
// thread that runs its events.
#ifndef ZORBEL_USB_LIBUSB_LIBUSB_CONTEXT_H
#define ZORBEL_USB_LIBUSB_LIBUSB_CONTEXT_H

#include <libusb.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/mutex.h"
#include "usb/change_listeners.h"

namespace zorbel {
namespace host {

class LibusbHandle;

// One libusb context with the thread that runs its events. Transfers are
// submitted asynchronously by the requesting thread and completed on the
// event thread, which is why every open handle keeps the context alive.
//
// Thread-safety: all members may be used from any thread. The event thread
// is the only one that runs libusb's event handling; handles are never
// destroyed on it (it holds no owning reference to any).
class LibusbContext {
public:
    LibusbContext();
    ~LibusbContext();
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;

    // Null when libusb could not start; the backend then has no devices.
    libusb_context* get() const { return ctx_; }

    // Open handles, so a hot-plug departure can end their transfers.
    void add(LibusbHandle* handle);
    void remove(LibusbHandle* handle);

    // Calls `changed` on the event thread when one of our devices arrives or
    // leaves (see Backend::watch); null where libusb has no hot-plug events.
    std::shared_ptr<void> watch(std::function<void()> changed);

private:
    static int LIBUSB_CALL on_hotplug(libusb_context* ctx, libusb_device* dev, libusb_hotplug_event event,
                                      void* self);
    void run_events();

    libusb_context* ctx_ = nullptr;
    bool hotplug_registered_ = false;
    libusb_hotplug_callback_handle hotplug_handle_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread event_thread_;

    detail::Mutex handles_mutex_;
    std::vector<LibusbHandle*> handles_ GUARDED_BY(handles_mutex_);
    ChangeListeners listeners_;
};

}  // namespace host
}  // namespace zorbel

#endif
