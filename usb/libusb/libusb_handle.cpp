#include "usb/libusb/libusb_handle.h"

#include <algorithm>
#include <cstring>

#include "support/log.h"
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

// One queued bulk IN transfer and its buffer.
struct LibusbHandle::InTransfer {
    LibusbHandle* owner = nullptr;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    std::vector<unsigned char> buffer;
    bool submitted = false;  // guarded by the owner's mutex
    // Ended by the stall recovery rather than by the device: its bytes are
    // handed over, then it is queued again.
    bool requeue = false;  // guarded by the owner's mutex
    ~InTransfer() { libusb_free_transfer(transfer); }
};

namespace {

const char* status_name(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        default:
            return "LIBUSB_TRANSFER_COMPLETED";
    }
}

// Frees a libusb transfer when the request that made it returns.
struct TransferPtr {
    libusb_transfer* t = libusb_alloc_transfer(0);
    ~TransferPtr() { libusb_free_transfer(t); }
};

}  // namespace

LibusbHandle::LibusbHandle(std::shared_ptr<LibusbContext> ctx, libusb_device_handle* h,
                           unsigned int timeout_ms)
    : context_(std::move(ctx)),
      handle_(h),
      dev_(libusb_ref_device(libusb_get_device(h))),
      write_timeout_ms_(timeout_ms),
      in_packet_(libusb_get_max_packet_size(dev_, usbmap::kEndpointIn)),
      out_packet_(libusb_get_max_packet_size(dev_, usbmap::kEndpointOut)) {
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

void LIBUSB_CALL LibusbHandle::on_in_done(libusb_transfer* transfer) {
    auto* in = static_cast<InTransfer*>(transfer->user_data);
    LibusbHandle* self = in->owner;
    detail::MutexLock lock(self->mutex_);
    in->submitted = false;
    --self->reads_submitted_;
    self->changed_.notify_all();
}

// usbfs lets one open file at a time use an interface's endpoints, so the
// interface is claimed by the first bulk transfer, not by the open: the
// device functions' own handles, which only make vendor requests to the
// device, then coexist with a connection's handle.
bool LibusbHandle::claim_locked() {
    if (claimed_) return true;
    const int rc = libusb_claim_interface(handle_, usbmap::kInterfaceNumber);
    if (rc != 0) {
        ZORBEL_LOG(LogLevel::warning, "USB: cannot claim the interface: " << libusb_error_name(rc));
        return false;
    }
    claimed_ = true;
    return true;
}

bool LibusbHandle::run(libusb_transfer* transfer) {
    detail::MutexLock lock(mutex_);
    if (state_ != State::open || gone_) return false;
    if (transfer->type == LIBUSB_TRANSFER_TYPE_BULK && !claim_locked()) return false;
    Pending pending{this, transfer};
    transfer->user_data = &pending;
    transfer->callback = &LibusbHandle::on_transfer_done;
    // Submitting under the lock keeps close() and cancel_read() from missing
    // a transfer; the completion callback needs the same lock, so it cannot
    // run before the transfer is recorded.
    const int rc = libusb_submit_transfer(transfer);
    if (rc != 0) {
        if (rc != LIBUSB_ERROR_NO_DEVICE)
            ZORBEL_LOG(LogLevel::warning, "USB: cannot submit a transfer: " << libusb_error_name(rc));
        return false;
    }
    in_flight_.push_back(&pending);
    lock.wait(changed_, [&] { return pending.done; });
    in_flight_.erase(std::find(in_flight_.begin(), in_flight_.end(), &pending));
    changed_.notify_all();  // close() waits for in_flight to empty
    return true;
}

bool LibusbHandle::submit_in_locked(InTransfer& in) {
    const int rc = libusb_submit_transfer(in.transfer);
    if (rc != 0) {
        if (rc != LIBUSB_ERROR_NO_DEVICE)
            ZORBEL_LOG(LogLevel::warning, "USB: cannot queue a read: " << libusb_error_name(rc));
        read_failed_ = true;
        return false;
    }
    in.submitted = true;
    ++reads_submitted_;
    return true;
}

bool LibusbHandle::start_reads_locked() {
    if (!reads_.empty()) return true;
    if (!claim_locked()) return false;
    // A whole number of packets, so the device can never send more than
    // fits (that would be an overflow), and several blocks' worth, so a
    // device that has queued several blocks sends them in one transfer.
    const int packet = in_packet_ > 0 ? in_packet_ : 512;
    const int size = std::max(1, usbmap::kReadTransferSize / packet) * packet;
    for (int i = 0; i < usbmap::kReadsQueued; ++i) {
        auto in = std::make_unique<InTransfer>();
        if (in->transfer == nullptr) return false;
        in->owner = this;
        in->buffer.resize(static_cast<std::size_t>(size));
        libusb_fill_bulk_transfer(in->transfer, handle_, usbmap::kEndpointIn, in->buffer.data(), size,
                                  &LibusbHandle::on_in_done, in.get(), 0);
        if (!submit_in_locked(*in)) return false;
        reads_.push_back(std::move(in));
    }
    return true;
}

// Transfers queued behind a stalled one are taken back too (a host
// controller may or may not go on with them after the halt is cleared), so
// that after the clear they run again in their order. Once per stall: a
// transfer that stalls again before any has completed fails the read.
bool LibusbHandle::take_back_reads_locked() {
    if (stall_retried_) return false;
    stall_retried_ = true;
    for (auto& in : reads_) {
        if (in->submitted) libusb_cancel_transfer(in->transfer);
        in->requeue = true;
    }
    return true;
}

long LibusbHandle::read(unsigned char* buf, unsigned int len) {
    if (buf == nullptr || len == 0) return -1;
    detail::MutexLock lock(mutex_);
    for (;;) {
        if (cancel_next_read_) {
            cancel_next_read_ = false;
            return -1;
        }
        if (state_ != State::open || gone_ || read_failed_ || !start_reads_locked()) return -1;
        InTransfer& front = *reads_.front();
        if (front.submitted) {
            lock.wait(changed_, [&]() REQUIRES(mutex_) {
                return !front.submitted || cancel_next_read_ || state_ != State::open || gone_;
            });
            continue;
        }
        libusb_transfer* t = front.transfer;
        if (handed_ < static_cast<std::size_t>(t->actual_length)) {
            // The one copy: from the transfer's buffer into the caller's.
            const std::size_t n = std::min<std::size_t>(len, t->actual_length - handed_);
            std::memcpy(buf, front.buffer.data() + handed_, n);
            handed_ += n;
            return static_cast<long>(n);
        }
        // Emptied (a zero-length packet brings nothing): on to its status.
        // handed_ stays until the transfer leaves the front: a stalled one
        // stays there through the clear, and the packets it brought before
        // the stall are already handed over.
        const int status = t->status;
        if (front.requeue || status == LIBUSB_TRANSFER_COMPLETED) {
            if (status == LIBUSB_TRANSFER_COMPLETED && !front.requeue) stall_retried_ = false;
            front.requeue = false;
        } else if (status == LIBUSB_TRANSFER_STALL) {
            if (!take_back_reads_locked()) {
                read_failed_ = true;
                return -1;
            }
            lock.wait(changed_, [&]() REQUIRES(mutex_) {
                return reads_submitted_ == 0 || state_ != State::open || gone_;
            });
            if (state_ != State::open || gone_) return -1;
            ZORBEL_LOG(LogLevel::info, "USB: the device stalled its IN endpoint; clearing the halt");
            // The clear is a request of its own, made without the lock; a
            // close() meanwhile waits for it before it closes the handle.
            clearing_halt_ = true;
            lock.unlock();
            const int rc = libusb_clear_halt(handle_, usbmap::kEndpointIn);
            lock.lock();
            clearing_halt_ = false;
            changed_.notify_all();
            if (rc != 0) {
                if (rc != LIBUSB_ERROR_NO_DEVICE)
                    ZORBEL_LOG(LogLevel::warning, "USB: cannot clear a stall: " << libusb_error_name(rc));
                read_failed_ = true;
                return -1;
            }
            continue;  // the front is requeued with the others
        } else {
            // A departed device goes straight to reconnection; a cancel comes
            // from close() or the departure. Anything else is worth a line.
            if (status != LIBUSB_TRANSFER_NO_DEVICE && status != LIBUSB_TRANSFER_CANCELLED)
                ZORBEL_LOG(LogLevel::warning, "USB: read failed: " << status_name(status));
            read_failed_ = true;
            return -1;
        }
        std::unique_ptr<InTransfer> again = std::move(reads_.front());
        reads_.pop_front();
        handed_ = 0;
        if (!submit_in_locked(*again)) return -1;
        reads_.push_back(std::move(again));
    }
}

void LibusbHandle::cancel_read() {
    detail::MutexLock lock(mutex_);
    // The queued transfers stay: the bytes they bring wait for the next read.
    // A cancel with no read under way is not lost: the next read uses it up.
    cancel_next_read_ = true;
    changed_.notify_all();
}

long LibusbHandle::write(const unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0 || len > 4096) return -1;
    TransferPtr t;
    if (t.t == nullptr) return -1;
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it. A device reading with a buffer larger than this write
    // sees a transfer of whole packets end only at a zero-length packet.
    libusb_fill_bulk_transfer(t.t, handle_, usbmap::kEndpointOut, const_cast<unsigned char*>(data),
                              static_cast<int>(len), nullptr, nullptr, write_timeout_ms_);
    if (out_packet_ > 0 && len % static_cast<unsigned int>(out_packet_) == 0)
        t.t->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
    if (!run(t.t)) return -1;
    if (t.t->status != LIBUSB_TRANSFER_COMPLETED) {
        if (t.t->status != LIBUSB_TRANSFER_NO_DEVICE && t.t->status != LIBUSB_TRANSFER_CANCELLED)
            ZORBEL_LOG(LogLevel::warning, "USB: write failed: " << status_name(t.t->status));
        return -1;
    }
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
    if (!run(t.t) || t.t->status != LIBUSB_TRANSFER_COMPLETED) return -1;
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
        if (!run(t.t) || t.t->status != LIBUSB_TRANSFER_COMPLETED ||
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
    for (auto& in : reads_)
        if (in->submitted) libusb_cancel_transfer(in->transfer);
    changed_.notify_all();  // a read waiting for its transfer
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
    lock.wait(changed_, [&]() REQUIRES(mutex_) {
        return in_flight_.empty() && reads_submitted_ == 0 && !clearing_halt_;
    });
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
