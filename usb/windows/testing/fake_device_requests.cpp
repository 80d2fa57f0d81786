// The fake kernel driver's device requests: a handle's four I/O controls,
// served by the emulated device's handle, with reads that complete
// asynchronously on a worker of the handle.
#include <algorithm>
#include <cstring>

#include "usb/windows/driver_interface.h"
#include "usb/windows/testing/fake_driver_state.h"

namespace zorbel {
namespace testing {
namespace fake {
namespace {

constexpr DWORD kMaxTransfer = 4096;

// A manual-reset event for a read on a handle without overlapped I/O.
class OwnEvent {
public:
    OwnEvent() : event_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~OwnEvent() {
        if (event_) ::CloseHandle(event_);
    }
    OwnEvent(const OwnEvent&) = delete;
    OwnEvent& operator=(const OwnEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

}  // namespace

DWORD error_of(ULONG_PTR status) {
    switch (status) {
        case kStatusSuccess:
            return ERROR_SUCCESS;
        case kStatusCancelled:
            return ERROR_OPERATION_ABORTED;
        case kStatusDeviceNotConnected:
            return ERROR_DEVICE_NOT_CONNECTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

void complete(OVERLAPPED* overlapped, ULONG_PTR status, ULONG_PTR bytes) {
    // The waiter reads the record once the event is set or the status is no
    // longer pending, from another thread.
    __atomic_store_n(&overlapped->InternalHigh, bytes, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal, status, __ATOMIC_RELEASE);
    if (overlapped->hEvent) ::SetEvent(overlapped->hEvent);
}

BOOL fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

FakeHandle::~FakeHandle() { shut(); }

BOOL FakeHandle::device_request(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                                DWORD* returned, OVERLAPPED* overlapped_record) {
    if (overlapped && !overlapped_record) return fail(ERROR_INVALID_PARAMETER);
    // The system clears the request's event when the request is made.
    if (overlapped_record && overlapped_record->hEvent) ::ResetEvent(overlapped_record->hEvent);
    if (code == host::win32::kIoctlZorbelRead)
        return read(static_cast<unsigned char*>(out), out_size, returned, overlapped_record);
    ULONG_PTR status = kStatusSuccess;
    DWORD bytes = 0;
    switch (code) {
        case host::win32::kIoctlZorbelWrite: {
            if (!in || in_size == 0 || in_size > kMaxTransfer) return fail(ERROR_INVALID_PARAMETER);
            const long sent = device->write(static_cast<const unsigned char*>(in), in_size);
            if (sent < 0)
                status = kStatusDeviceNotConnected;
            else
                bytes = static_cast<DWORD>(sent);
            break;
        }
        case host::win32::kIoctlZorbelGetInfo: {
            if (!out || out_size < host::kInfoRecordSize) return fail(ERROR_INSUFFICIENT_BUFFER);
            unsigned char record[host::kInfoRecordSize];
            if (device->get_info(record)) {
                std::memcpy(out, record, sizeof record);
                bytes = sizeof record;
            } else {
                status = kStatusUnsuccessful;
            }
            break;
        }
        case host::win32::kIoctlZorbelBoot: {
            const int result = device->boot(in, in_size);
            // A boot loader refuses an image by stalling the request.
            if (result == 1)
                status = kStatusUnsuccessful;
            else if (result != 0)
                status = kStatusDeviceNotConnected;
            break;
        }
        default:
            return fail(ERROR_INVALID_FUNCTION);
    }
    // Completed at once. A request that fails so leaves its record alone.
    if (status != kStatusSuccess) return fail(error_of(status));
    if (returned) *returned = bytes;
    if (overlapped_record) complete(overlapped_record, kStatusSuccess, bytes);
    return TRUE;
}

BOOL FakeHandle::read(unsigned char* out, DWORD size, DWORD* returned, OVERLAPPED* overlapped_record) {
    if (!out || size == 0) return fail(ERROR_INVALID_PARAMETER);
    OwnEvent own_event;
    OVERLAPPED own = {};
    own.hEvent = own_event.get();
    OVERLAPPED* record = overlapped_record ? overlapped_record : &own;
    {
        detail::MutexLock lock(mutex_);
        if (device_failed_) return fail(ERROR_DEVICE_NOT_CONNECTED);
        if (ended_) return fail(ERROR_OPERATION_ABORTED);
        if (reads_.empty() && !received_.empty()) {
            // Bytes already here: the request completes at once.
            const DWORD n = static_cast<DWORD>(std::min<std::size_t>(size, received_.size()));
            std::memcpy(out, received_.data(), n);
            received_.erase(received_.begin(), received_.begin() + n);
            if (returned) *returned = n;
            if (overlapped_record) complete(overlapped_record, kStatusSuccess, n);
            return TRUE;
        }
        __atomic_store_n(&record->Internal, kStatusPending, __ATOMIC_RELEASE);
        reads_.push_back(PendingRead{record, out, size});
        if (!worker_.joinable()) worker_ = std::thread(&FakeHandle::serve, this);
        changed_.notify_all();
    }
    if (overlapped_record) return fail(ERROR_IO_PENDING);
    // Without overlapped I/O the caller waits in the request.
    while (__atomic_load_n(&own.Internal, __ATOMIC_ACQUIRE) == kStatusPending)
        ::WaitForSingleObject(own.hEvent, INFINITE);
    const ULONG_PTR status = __atomic_load_n(&own.Internal, __ATOMIC_ACQUIRE);
    if (status != kStatusSuccess) return fail(error_of(status));
    if (returned) *returned = static_cast<DWORD>(own.InternalHigh);
    return TRUE;
}

void FakeHandle::complete_front_locked() {
    const PendingRead front = reads_.front();
    reads_.pop_front();
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(front.size, received_.size()));
    std::memcpy(front.out, received_.data(), n);
    received_.erase(received_.begin(), received_.begin() + n);
    complete(front.overlapped, kStatusSuccess, n);
}

void FakeHandle::fail_reads_locked(ULONG_PTR status) {
    while (!reads_.empty()) {
        OVERLAPPED* record = reads_.front().overlapped;
        reads_.pop_front();
        complete(record, status, 0);
    }
}

// The driver's transfer from the device runs while a read request waits for
// bytes; a request cancelled meanwhile leaves it running, and what it brings
// waits for the next request, as bytes a device has sent are not taken back.
void FakeHandle::serve() {
    std::vector<unsigned char> buffer;
    detail::MutexLock lock(mutex_);
    for (;;) {
        while (!ended_ && (reads_.empty() || device_failed_)) lock.wait(changed_);
        if (ended_) return;
        if (!received_.empty()) {
            complete_front_locked();
            continue;
        }
        buffer.resize(std::min<DWORD>(reads_.front().size, kMaxTransfer));
        lock.unlock();
        const long n = device->read(buffer.data(), static_cast<unsigned int>(buffer.size()));
        lock.lock();
        if (n > 0) {
            received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
            if (!reads_.empty()) complete_front_locked();
            continue;
        }
        if (ended_) return;  // closed: shut() has ended the requests
        device_failed_ = true;
        fail_reads_locked(kStatusDeviceNotConnected);
    }
}

bool FakeHandle::cancel(const OVERLAPPED* overlapped_record) {
    detail::MutexLock lock(mutex_);
    bool found = false;
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (overlapped_record && it->overlapped != overlapped_record) {
            ++it;
            continue;
        }
        OVERLAPPED* record = it->overlapped;
        it = reads_.erase(it);
        complete(record, kStatusCancelled, 0);
        found = true;
    }
    return found;
}

void FakeHandle::shut() {
    std::thread joining;
    {
        detail::MutexLock lock(mutex_);
        ended_ = true;
        fail_reads_locked(kStatusCancelled);
        joining.swap(worker_);
        changed_.notify_all();
    }
    if (device) device->close();  // ends the worker's transfer
    if (joining.joinable()) joining.join();
}

}  // namespace fake
}  // namespace testing
}  // namespace zorbel
