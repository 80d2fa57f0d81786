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
    : context_(std::move(ctx)), handle_(h), dev_(libusb_ref_device(libusb_get_device(h))) {
    context_->add(this);
}

LibusbHandle::~LibusbHandle() {
    // Out of the hot-plug list first, so the event thread never reaches a
    // handle being torn down; then end whatever is still pending.
    context_->remove(this);
    close();
    libusb_unref_device(dev_);
}

void LIBUSB_CALL LibusbHandle::on_transfer_done(libusb_transfer* transfer) {
    auto* pending = static_cast<Pending*>(transfer->user_data);
    LibusbHandle* self = pending->owner;
    detail::MutexLock lock(self->mutex_);
    pending->done = true;
    self->changed_.notify_all();
}

bool LibusbHandle::run(libusb_transfer* transfer, bool is_read) {
    detail::MutexLock lock(mutex_);
    if (state_ != State::open || gone_) return false;
    if (is_read && cancel_next_read_) {
        cancel_next_read_ = false;
        return false;
    }
    // usbfs lets one open file at a time use an interface's endpoints, so the
    // interface is claimed by the first bulk transfer, not by the open: the
    // device functions' own handles, which only make vendor requests to the
    // device, then coexist with a connection's handle.
    if (transfer->type == LIBUSB_TRANSFER_TYPE_BULK && !claimed_) {
        if (libusb_claim_interface(handle_, usbmap::kInterfaceNumber) != 0) return false;
        claimed_ = true;
    }
    Pending pending{this, transfer};
    transfer->user_data = &pending;
    transfer->callback = &LibusbHandle::on_transfer_done;
    // Submitting under the lock keeps close() and cancel_read() from missing
    // a transfer; the completion callback needs the same lock, so it cannot
    // run before the transfer is recorded.
    if (libusb_submit_transfer(transfer) != 0) return false;
    in_flight_.push_back(&pending);
    if (is_read) read_pending_ = &pending;
    lock.wait(changed_, [&] { return pending.done; });
    in_flight_.erase(std::find(in_flight_.begin(), in_flight_.end(), &pending));
    if (is_read) read_pending_ = nullptr;
    changed_.notify_all();  // close() waits for in_flight to empty
    return true;
}

long LibusbHandle::read(unsigned char* buf, unsigned int len) {
    if (buf == nullptr || len == 0) return -1;
    TransferPtr t;
    if (t.t == nullptr) return -1;
    // A zero-length packet completes a transfer without data; the caller is
    // promised at least one byte, so such a completion is waited past.
    for (;;) {
        libusb_fill_bulk_transfer(t.t, handle_, usbmap::kEndpointIn, buf, static_cast<int>(len), nullptr,
                                  nullptr, 0);
        if (!run(t.t, true)) return -1;
        if (t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
        if (t.t->actual_length > 0) return t.t->actual_length;
    }
}

void LibusbHandle::cancel_read() {
    detail::MutexLock lock(mutex_);
    // A read whose transfer is still pending ends as cancelled. One that has
    // already completed (its thread not yet awake) returns its data, and a
    // cancel with no read under way must not be lost either: both leave the
    // flag for the next read.
    if (read_pending_ != nullptr && !read_pending_->done && !read_pending_->cancelled &&
        libusb_cancel_transfer(read_pending_->transfer) == 0) {
        read_pending_->cancelled = true;
        return;
    }
    if (read_pending_ == nullptr || !read_pending_->cancelled) cancel_next_read_ = true;
}

long LibusbHandle::write(const unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0 || len > 4096) return -1;
    TransferPtr t;
    if (t.t == nullptr) return -1;
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    libusb_fill_bulk_transfer(t.t, handle_, usbmap::kEndpointOut, const_cast<unsigned char*>(data),
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
    libusb_fill_control_transfer(t.t, handle_, buffer.data(), nullptr, nullptr, usbmap::kControlTimeoutMs);
    if (!run(t.t, false) || t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
    const int got = std::min<int>(t.t->actual_length, length);
    if (in && got > 0) std::memcpy(data, libusb_control_transfer_get_data(t.t), got);
    return got;
}

bool LibusbHandle::get_info(unsigned char* record) {
    if (record == nullptr) return false;
    unsigned char buffer[kInfoRecordSize];
    if (control(usbmap::kVendorIn, usbmap::kRequestGetInfo, 0, 0, buffer, kInfoRecordSize) !=
        static_cast<int>(kInfoRecordSize))
        return false;
    std::memcpy(record, buffer, kInfoRecordSize);
    return true;
}

int LibusbHandle::boot(const void* image, unsigned int size) {
    if (image == nullptr && size > 0) return -1;
    if (control(usbmap::kVendorOut, usbmap::kRequestBootBegin, size & 0xFFFF, size >> 16, nullptr, 0) != 0)
        return -1;
    if (size > 0) {
        TransferPtr t;
        if (t.t == nullptr) return -1;
        libusb_fill_bulk_transfer(t.t, handle_, usbmap::kEndpointOut,
                                  static_cast<unsigned char*>(const_cast<void*>(image)),
                                  static_cast<int>(size), nullptr, nullptr, 0);
        if (!run(t.t, false) || t.t->status != LIBUSB_TRANSFER_COMPLETED ||
            t.t->actual_length != static_cast<int>(size))
            return -1;
    }
    unsigned char status = 0xFF;
    if (control(usbmap::kVendorIn, usbmap::kRequestBootStatus, 0, 0, &status, 1) != 1) return -1;
    return status == 0 ? 0 : 1;
}

void LibusbHandle::cancel_all_locked() {
    for (Pending* p : in_flight_) {
        if (!p->done && !p->cancelled) {
            // A transfer that completes meanwhile makes this fail harmlessly.
            libusb_cancel_transfer(p->transfer);
            p->cancelled = true;
        }
    }
}

void LibusbHandle::device_gone() {
    detail::MutexLock lock(mutex_);
    gone_ = true;
    cancel_all_locked();
}

void LibusbHandle::close() {
    detail::MutexLock lock(mutex_);
    if (state_ != State::open) {
        lock.wait(changed_, [&]() REQUIRES(mutex_) { return state_ == State::closed; });
        return;
    }
    state_ = State::closing;
    cancel_all_locked();
    lock.wait(changed_, [&]() REQUIRES(mutex_) { return in_flight_.empty(); });
    const bool release = claimed_;
    lock.unlock();
    if (release) libusb_release_interface(handle_, usbmap::kInterfaceNumber);
    libusb_close(handle_);
    lock.lock();
    state_ = State::closed;
    changed_.notify_all();
}

}  // namespace host
}  // namespace zorbel
