#include "usb/libusb/libusb_handle.h"

#include <algorithm>
#include <cstring>

#include "usb/libusb/usb_mapping.h"

namespace zorbel {
namespace host {

// One submitted transfer, from submission to the completion callback.
struct LibusbHandle::Pending {
    LibusbHandle* owner;
    libusb_transfer* transfer;
    bool done = false;       // guarded by the owner's mutex
    bool cancelled = false;  // guarded by the owner's mutex
};

namespace {

// Frees a libusb transfer when the request that made it returns.
struct TransferPtr {
    libusb_transfer* t = libusb_alloc_transfer(0);
    ~TransferPtr() { libusb_free_transfer(t); }
};

}  // namespace

LibusbHandle::LibusbHandle(std::shared_ptr<LibusbContext> ctx, libusb_device_handle* h)
    : context(std::move(ctx)), handle(h), dev(libusb_ref_device(libusb_get_device(h))) {
    context->add(this);
}

LibusbHandle::~LibusbHandle() {
    // Out of the hot-plug list first, so the event thread never reaches a
    // handle being torn down; then end whatever is still pending.
    context->remove(this);
    close();
    libusb_unref_device(dev);
}

void LIBUSB_CALL LibusbHandle::on_transfer_done(libusb_transfer* transfer) {
    auto* pending = static_cast<Pending*>(transfer->user_data);
    LibusbHandle* self = pending->owner;
    detail::MutexLock lock(self->mutex);
    pending->done = true;
    self->changed.notify_all();
}

bool LibusbHandle::run(libusb_transfer* transfer, bool is_read) {
    detail::MutexLock lock(mutex);
    if (state != State::open || gone) return false;
    if (is_read && cancel_next_read) {
        cancel_next_read = false;
        return false;
    }
    // usbfs lets one open file at a time use an interface's endpoints, so the
    // interface is claimed by the first bulk transfer, not by the open: the
    // device functions' own handles, which only make vendor requests to the
    // device, then coexist with a connection's handle.
    if (transfer->type == LIBUSB_TRANSFER_TYPE_BULK && !claimed) {
        if (libusb_claim_interface(handle, usbmap::interface_number) != 0) return false;
        claimed = true;
    }
    Pending pending{this, transfer};
    transfer->user_data = &pending;
    transfer->callback = &LibusbHandle::on_transfer_done;
    // Submitting under the lock keeps close() and cancel_read() from missing
    // a transfer; the completion callback needs the same lock, so it cannot
    // run before the transfer is recorded.
    if (libusb_submit_transfer(transfer) != 0) return false;
    in_flight.push_back(&pending);
    if (is_read) read_pending = &pending;
    lock.wait(changed, [&] { return pending.done; });
    in_flight.erase(std::find(in_flight.begin(), in_flight.end(), &pending));
    if (is_read) read_pending = nullptr;
    changed.notify_all();  // close() waits for in_flight to empty
    return true;
}

long LibusbHandle::read(unsigned char* buf, unsigned int len) {
    if (buf == nullptr || len == 0) return -1;
    TransferPtr t;
    if (t.t == nullptr) return -1;
    // A zero-length packet completes a transfer without data; the caller is
    // promised at least one byte, so such a completion is waited past.
    for (;;) {
        libusb_fill_bulk_transfer(t.t, handle, usbmap::endpoint_in, buf, static_cast<int>(len), nullptr,
                                  nullptr, 0);
        if (!run(t.t, true)) return -1;
        if (t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
        if (t.t->actual_length > 0) return t.t->actual_length;
    }
}

void LibusbHandle::cancel_read() {
    detail::MutexLock lock(mutex);
    // A read whose transfer is still pending ends as cancelled. One that has
    // already completed (its thread not yet awake) returns its data, and a
    // cancel with no read under way must not be lost either: both leave the
    // flag for the next read.
    if (read_pending != nullptr && !read_pending->done && !read_pending->cancelled &&
        libusb_cancel_transfer(read_pending->transfer) == 0) {
        read_pending->cancelled = true;
        return;
    }
    if (read_pending == nullptr || !read_pending->cancelled) cancel_next_read = true;
}

long LibusbHandle::write(const unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0 || len > 4096) return -1;
    TransferPtr t;
    if (t.t == nullptr) return -1;
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    libusb_fill_bulk_transfer(t.t, handle, usbmap::endpoint_out, const_cast<unsigned char*>(data),
                              static_cast<int>(len), nullptr, nullptr, 0);
    if (!run(t.t, false) || t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
    return t.t->actual_length;
}

int LibusbHandle::control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, unsigned char* data, std::uint16_t length) {
    TransferPtr t;
    if (t.t == nullptr) return -1;
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
    libusb_fill_control_setup(buffer.data(), request_type, request, value, index, length);
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    if (!in && length > 0) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
    libusb_fill_control_transfer(t.t, handle, buffer.data(), nullptr, nullptr, usbmap::control_timeout_ms);
    if (!run(t.t, false) || t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
    const int got = std::min<int>(t.t->actual_length, length);
    if (in && got > 0) std::memcpy(data, libusb_control_transfer_get_data(t.t), got);
    return got;
}

bool LibusbHandle::get_info(unsigned char* record) {
    if (record == nullptr) return false;
    unsigned char buffer[info_record_size];
    if (control(usbmap::vendor_in, usbmap::request_get_info, 0, 0, buffer, info_record_size) !=
        static_cast<int>(info_record_size))
        return false;
    std::memcpy(record, buffer, info_record_size);
    return true;
}

int LibusbHandle::boot(const void* image, unsigned int size) {
    if (image == nullptr && size > 0) return -1;
    if (control(usbmap::vendor_out, usbmap::request_boot_begin, size & 0xFFFF, size >> 16, nullptr, 0) != 0)
        return -1;
    if (size > 0) {
        TransferPtr t;
        if (t.t == nullptr) return -1;
        libusb_fill_bulk_transfer(t.t, handle, usbmap::endpoint_out,
                                  static_cast<unsigned char*>(const_cast<void*>(image)),
                                  static_cast<int>(size), nullptr, nullptr, 0);
        if (!run(t.t, false) || t.t->status != LIBUSB_TRANSFER_COMPLETED ||
            t.t->actual_length != static_cast<int>(size))
            return -1;
    }
    unsigned char status = 0xFF;
    if (control(usbmap::vendor_in, usbmap::request_boot_status, 0, 0, &status, 1) != 1) return -1;
    return status == 0 ? 0 : 1;
}

void LibusbHandle::cancel_all_locked() {
    for (Pending* p : in_flight) {
        if (!p->done && !p->cancelled) {
            // A transfer that completes meanwhile makes this fail harmlessly.
            libusb_cancel_transfer(p->transfer);
            p->cancelled = true;
        }
    }
}

void LibusbHandle::device_gone() {
    detail::MutexLock lock(mutex);
    gone = true;
    cancel_all_locked();
}

void LibusbHandle::close() {
    detail::MutexLock lock(mutex);
    if (state != State::open) {
        lock.wait(changed, [&]() REQUIRES(mutex) { return state == State::closed; });
        return;
    }
    state = State::closing;
    cancel_all_locked();
    lock.wait(changed, [&]() REQUIRES(mutex) { return in_flight.empty(); });
    const bool release = claimed;
    lock.unlock();
    if (release) libusb_release_interface(handle, usbmap::interface_number);
    libusb_close(handle);
    lock.lock();
    state = State::closed;
    changed.notify_all();
}

}  // namespace host
}  // namespace zorbel
