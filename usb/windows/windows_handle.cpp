#include "usb/windows/windows_handle.h"

#include <cstring>

#include "usb/windows/driver_interface.h"

namespace zorbel {
namespace host {
namespace {

// The write request's largest transfer: the driver's queue of outgoing bytes.
constexpr unsigned int kMaxWrite = 4096;

// An auto-reset event for one request, closed when the request returns.
class RequestEvent {
public:
    explicit RequestEvent(bool needed)
        : event_(needed ? ::CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr) {}
    ~RequestEvent() {
        if (event_) ::CloseHandle(event_);
    }
    RequestEvent(const RequestEvent&) = delete;
    RequestEvent& operator=(const RequestEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

}  // namespace

WindowsHandle::WindowsHandle(const win32::DeviceCalls& calls, HANDLE handle, bool overlapped)
    : calls_(calls),
      overlapped_(overlapped),
      read_event_(overlapped ? ::CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr),
      read_overlapped_(),
      handle_(handle) {}

WindowsHandle::~WindowsHandle() {
    close();
    if (read_event_) ::CloseHandle(read_event_);
}

HANDLE WindowsHandle::enter() {
    detail::MutexLock lock(mutex_);
    if (state_ != State::open) return INVALID_HANDLE_VALUE;
    ++requests_;
    return handle_;
}

void WindowsHandle::leave() {
    detail::MutexLock lock(mutex_);
    if (--requests_ == 0) changed_.notify_all();
}

bool WindowsHandle::run(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                        DWORD& returned, OVERLAPPED& overlapped, HANDLE event, bool is_read) {
    returned = 0;
    if (!overlapped_)
        return calls_.device_io_control(handle, code, in, in_size, out, out_size, &returned, nullptr) !=
               FALSE;
    if (!event) return false;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    ::ResetEvent(event);
    if (!calls_.device_io_control(handle, code, in, in_size, out, out_size, &returned, &overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return false;
    {
        detail::MutexLock lock(mutex_);
        if (is_read) read_issued_ = true;
        // A close or a cancel that came while the request was on its way to
        // the driver found nothing to cancel: it is this request's now.
        if (state_ != State::open || (is_read && cancel_read_)) calls_.cancel_io_ex(handle, &overlapped);
    }
    const BOOL done = calls_.get_overlapped_result(handle, &overlapped, &returned, TRUE);
    const DWORD error = ::GetLastError();
    if (is_read) {
        detail::MutexLock lock(mutex_);
        read_issued_ = false;
    }
    ::SetLastError(error);
    return done != FALSE;
}

long WindowsHandle::read(unsigned char* buf, unsigned int len) {
    // Only a normal-mode device, opened for overlapped I/O, is read; a boot
    // loader sends nothing.
    if (!buf || len == 0 || !overlapped_) return -1;
    HANDLE handle;
    {
        detail::MutexLock lock(mutex_);
        if (state_ != State::open || reading_) return -1;
        if (cancel_next_) {
            cancel_next_ = false;
            return -1;
        }
        reading_ = true;
        cancel_read_ = false;
        ++requests_;
        handle = handle_;
    }
    long result = -1;
    for (;;) {
        DWORD n = 0;
        if (!run(handle, win32::kIoctlZorbelRead, buf, len, buf, len, n, read_overlapped_, read_event_, true))
            break;
        if (n > 0) {
            result = static_cast<long>(n < len ? n : len);
            break;
        }
        // A read completed without bytes (a zero-length packet): the caller
        // waits for bytes, so ask again unless the read has been ended.
        detail::MutexLock lock(mutex_);
        if (cancel_read_ || state_ != State::open) break;
    }
    {
        detail::MutexLock lock(mutex_);
        // A cancel that came once the read had its bytes ends the next read.
        if (result > 0 && cancel_read_) cancel_next_ = true;
        reading_ = false;
        cancel_read_ = false;
    }
    leave();
    return result;
}

void WindowsHandle::cancel_read() {
    detail::MutexLock lock(mutex_);
    if (state_ != State::open) return;  // every read fails from now on
    if (!reading_) {
        cancel_next_ = true;
        return;
    }
    cancel_read_ = true;
    // Not yet issued: the reader cancels it itself once it is (see run()).
    if (read_issued_) calls_.cancel_io_ex(handle_, &read_overlapped_);
}

long WindowsHandle::write(const unsigned char* data, unsigned int len) {
    if (!data || len == 0 || len > kMaxWrite) return -1;
    // The request's output buffer is its input buffer, as the driver wants
    // it; the caller's bytes are const, so the request gets a copy.
    unsigned char staged[kMaxWrite];
    std::memcpy(staged, data, len);
    const HANDLE handle = enter();
    if (handle == INVALID_HANDLE_VALUE) return -1;
    RequestEvent event(overlapped_);
    OVERLAPPED overlapped;
    DWORD n = 0;
    const bool ok =
        run(handle, win32::kIoctlZorbelWrite, staged, len, staged, len, n, overlapped, event.get(), false);
    leave();
    return ok ? static_cast<long>(n) : -1;
}

bool WindowsHandle::get_info(unsigned char* record) {
    if (!record) return false;
    const HANDLE handle = enter();
    if (handle == INVALID_HANDLE_VALUE) return false;
    unsigned char answer[kInfoRecordSize] = {};
    RequestEvent event(overlapped_);
    OVERLAPPED overlapped;
    DWORD n = 0;
    const bool ok = run(handle, win32::kIoctlZorbelGetInfo, answer, sizeof answer, answer, sizeof answer, n,
                        overlapped, event.get(), false);
    leave();
    if (!ok) return false;  // the caller's record stays as it was
    std::memcpy(record, answer, sizeof answer);
    return true;
}

int WindowsHandle::boot(const void* image, unsigned int size) {
    const HANDLE handle = enter();
    if (handle == INVALID_HANDLE_VALUE) return -1;
    RequestEvent event(overlapped_);
    OVERLAPPED overlapped;
    DWORD n = 0;
    // The driver only reads its input buffer.
    const bool ok = run(handle, win32::kIoctlZorbelBoot, const_cast<void*>(image), size, nullptr, 0, n,
                        overlapped, event.get(), false);
    const DWORD error = ::GetLastError();
    leave();
    if (ok) return 0;
    // A device that refuses the image stalls the request, which the driver
    // reports as a general failure; anything else (the device gone, the
    // handle closed) means the request itself failed.
    return error == ERROR_GEN_FAILURE ? 1 : -1;
}

void WindowsHandle::close() {
    HANDLE handle;
    {
        detail::MutexLock lock(mutex_);
        if (state_ != State::open) {
            while (state_ != State::closed) lock.wait(changed_);
            return;
        }
        state_ = State::closing;
        // Ends the overlapped requests under way, whichever thread made them;
        // one still on its way to the driver cancels itself (see run()). A
        // request on a handle without overlapped I/O ends on its own.
        if (requests_ > 0) calls_.cancel_io_ex(handle_, nullptr);
        while (requests_ > 0) lock.wait(changed_);
        handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
    }
    calls_.close_handle(handle);
    detail::MutexLock lock(mutex_);
    state_ = State::closed;
    changed_.notify_all();
}

}  // namespace host
}  // namespace zorbel
