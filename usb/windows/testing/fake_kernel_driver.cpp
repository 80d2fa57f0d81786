// The fake kernel driver's front: SetupAPI's device information sets, the
// opening and closing of handles, the dispatch of requests, and the call
// table that reaches the fake in force.
#include "usb/windows/testing/fake_kernel_driver.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

#include "usb/windows/driver_interface.h"
#include "usb/windows/testing/fake_driver_state.h"
#include "usb/windows/testing/fake_setupapi.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace testing {

using fake::fail;
using fake::FakeHandle;

namespace {

DWORD error_for(host::OpenFailure failure) {
    switch (failure) {
        case host::OpenFailure::permission_denied:
            return ERROR_ACCESS_DENIED;
        case host::OpenFailure::busy:
            return ERROR_SHARING_VIOLATION;
        case host::OpenFailure::no_device:
        case host::OpenFailure::none:
            return ERROR_FILE_NOT_FOUND;
        default:
            return ERROR_GEN_FAILURE;
    }
}

std::atomic<unsigned> generations{0};

}  // namespace

class FakeDriverState {
public:
    explicit FakeDriverState(std::shared_ptr<host::Backend> emulated)
        : setupapi(emulated),
          emulated_(std::move(emulated)),
          // Each fake hands out values of its own, so that a handle left over
          // from an earlier fake is not taken for one of this fake's.
          base_(0x10000000u + 0x100000u * (generations.fetch_add(1) % 0x100)) {}

    fake::FakeSetupApi setupapi;

    HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE template_file) {
        const std::string path = name ? name : "";
        DWORD open_error;
        {
            detail::MutexLock lock(mutex_);
            log_.opens.push_back({path, access, share, disposition, flags, !security && !template_file});
            open_error = open_error_;
        }
        std::shared_ptr<FakeHandle> handle;
        const DWORD error = open_node(path, flags, open_error, handle);
        if (!handle) {
            ::SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        detail::MutexLock lock(mutex_);
        // The lowest value free, as the system hands values out again.
        std::uintptr_t slot = 0;
        while (handles_.count(slot)) ++slot;
        handles_[slot] = std::move(handle);
        // A handle value is a number the system hands out; the fake makes its
        // own. NOLINTNEXTLINE(performance-no-int-to-ptr)
        return reinterpret_cast<HANDLE>(base_ + 4 * slot);
    }

    BOOL io_control(HANDLE value, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                    LPDWORD returned, LPOVERLAPPED overlapped) {
        std::shared_ptr<FakeHandle> handle = find(value);
        if (!handle) return misuse_unlocked();
        {
            detail::MutexLock lock(mutex_);
            log_.requests.push_back({handle->path, code, in_size, out_size, overlapped != nullptr});
        }
        if (handle->kind == FakeHandle::Kind::device)
            return handle->device_request(code, in, in_size, out, out_size, returned, overlapped);
        return fake::usb_stack_request(*emulated_, *handle, code, in, in_size, out, out_size, returned);
    }

    BOOL overlapped_result(HANDLE, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
        {
            detail::MutexLock lock(mutex_);
            log_.result_waits.push_back(wait != FALSE);
        }
        if (!overlapped) return fail(ERROR_INVALID_PARAMETER);
        while (__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) == fake::kStatusPending) {
            if (!wait) return fail(ERROR_IO_INCOMPLETE);
            if (!overlapped->hEvent) return fail(ERROR_INVALID_PARAMETER);
            ::WaitForSingleObject(overlapped->hEvent, INFINITE);
        }
        const ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
        if (bytes) *bytes = static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_RELAXED));
        return status == fake::kStatusSuccess ? TRUE : fail(fake::error_of(status));
    }

    BOOL cancel_io(HANDLE value, LPOVERLAPPED overlapped) {
        std::shared_ptr<FakeHandle> handle = find(value);
        if (!handle) return misuse_unlocked();
        if (handle->kind != FakeHandle::Kind::device || !handle->cancel(overlapped))
            return fail(ERROR_NOT_FOUND);
        detail::MutexLock lock(mutex_);
        ++log_.cancels;
        return TRUE;
    }

    BOOL close(HANDLE value) {
        std::shared_ptr<FakeHandle> handle;
        {
            detail::MutexLock lock(mutex_);
            auto it = handles_.find(slot_of(value));
            if (it == handles_.end()) return misuse();
            handle = std::move(it->second);
            handles_.erase(it);
        }
        handle->shut();
        return TRUE;
    }

    void shut_down() {
        std::map<std::uintptr_t, std::shared_ptr<FakeHandle>> left;
        {
            detail::MutexLock lock(mutex_);
            left.swap(handles_);
        }
        setupapi.clear_sets();
        for (auto& entry : left) entry.second->shut();
    }

    FakeKernelDriver::Log log() const {
        FakeKernelDriver::Log log;
        {
            detail::MutexLock lock(mutex_);
            log = log_;
        }
        setupapi.log_into(log);
        return log;
    }
    void clear_log() {
        {
            detail::MutexLock lock(mutex_);
            log_ = FakeKernelDriver::Log();
        }
        setupapi.clear_log();
    }
    int open_handles() const {
        detail::MutexLock lock(mutex_);
        return static_cast<int>(std::count_if(handles_.begin(), handles_.end(), [](const auto& entry) {
            return entry.second->kind == FakeHandle::Kind::device;
        }));
    }
    int misuses() const {
        detail::MutexLock lock(mutex_);
        return misuses_ + setupapi.misuses();
    }
    void set_open_error(DWORD error) {
        detail::MutexLock lock(mutex_);
        open_error_ = error;
    }

private:
    std::uintptr_t slot_of(HANDLE value) const {
        const auto v = reinterpret_cast<std::uintptr_t>(value);
        return v < base_ || (v - base_) % 4 != 0 ? ~std::uintptr_t{0} : (v - base_) / 4;
    }

    std::shared_ptr<FakeHandle> find(HANDLE value) {
        detail::MutexLock lock(mutex_);
        auto it = handles_.find(slot_of(value));
        return it == handles_.end() ? nullptr : it->second;
    }

    BOOL misuse() REQUIRES(mutex_) {
        ++misuses_;
        return fail(ERROR_INVALID_HANDLE);
    }
    BOOL misuse_unlocked() {
        detail::MutexLock lock(mutex_);
        return misuse();
    }

    // Opens what `path` names; the error when it names nothing openable.
    DWORD open_node(const std::string& path, DWORD flags, DWORD open_error,
                    std::shared_ptr<FakeHandle>& handle) {
        const bool overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
        const std::string text = fake::lower(path);
        int controller = -1;
        if (text.size() == 8 && text.compare(0, 7, "\\\\.\\hcd") == 0 &&
            std::isdigit(static_cast<unsigned char>(text[7]))) {
            controller = text[7] - '0';
            std::string root;
            // A controller whose root hub is unnamed answers nothing anyway.
            if (!emulated_->root_hub_name(controller, root)) return ERROR_FILE_NOT_FOUND;
            handle = std::make_shared<FakeHandle>(FakeHandle::Kind::controller, path, overlapped);
            handle->controller = controller;
            return ERROR_SUCCESS;
        }
        std::string hub;
        int ports = 0;
        if (text.compare(0, 4, "\\\\.\\") == 0 && fake::emulated_hub_name(path.substr(4), hub)) {
            if (!emulated_->hub_port_count(hub, ports)) return ERROR_FILE_NOT_FOUND;
            handle = std::make_shared<FakeHandle>(FakeHandle::Kind::hub, path, overlapped);
            handle->hub = hub;
            return ERROR_SUCCESS;
        }
        int kind = 0;
        std::string place;
        if (!fake::parse_interface_path(path, kind, place)) return ERROR_FILE_NOT_FOUND;
        if (open_error != 0) return open_error;
        // The device now at that place. The emulated bus opens by index, so
        // a device that moved in the list meanwhile is looked for again.
        for (int attempt = 0; attempt < 4; ++attempt) {
            int index = 0;
            while (true) {
                const std::string at = emulated_->location(kind, index);
                if (at.empty()) return ERROR_FILE_NOT_FOUND;
                if (at == place) break;
                ++index;
            }
            host::OpenFailure failure = host::OpenFailure::none;
            std::shared_ptr<host::DeviceHandle> device = emulated_->open(kind, index, failure);
            if (!device) return error_for(failure);
            if (emulated_->location(kind, index) != place) {
                device->close();
                continue;
            }
            handle = std::make_shared<FakeHandle>(FakeHandle::Kind::device, path, overlapped);
            handle->device = std::move(device);
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    }

    const std::shared_ptr<host::Backend> emulated_;
    const std::uintptr_t base_;
    mutable detail::Mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<FakeHandle>> handles_ GUARDED_BY(mutex_);
    FakeKernelDriver::Log log_ GUARDED_BY(mutex_);
    int misuses_ GUARDED_BY(mutex_) = 0;
    DWORD open_error_ GUARDED_BY(mutex_) = 0;
};

namespace {

// The fakes alive, newest last; the calls reach the newest.
struct Registry {
    detail::Mutex mutex;
    std::vector<std::shared_ptr<FakeDriverState>> fakes GUARDED_BY(mutex);
};
Registry& registry() {
    static Registry r;
    return r;
}

std::shared_ptr<FakeDriverState> active() {
    Registry& r = registry();
    detail::MutexLock lock(r.mutex);
    return r.fakes.empty() ? nullptr : r.fakes.back();
}

std::shared_ptr<FakeDriverState> activate(std::shared_ptr<FakeDriverState> state) {
    Registry& r = registry();
    detail::MutexLock lock(r.mutex);
    r.fakes.push_back(state);
    return state;
}

void deactivate(const FakeDriverState* state) {
    Registry& r = registry();
    detail::MutexLock lock(r.mutex);
    r.fakes.erase(
        std::remove_if(r.fakes.begin(), r.fakes.end(),
                       [state](const std::shared_ptr<FakeDriverState>& s) { return s.get() == state; }),
        r.fakes.end());
}

HDEVINFO WINAPI fake_class_devs(const GUID* guid, PCSTR enumerator, HWND, DWORD flags) {
    auto state = active();
    if (!state) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return state->setupapi.class_devs(guid, enumerator, flags);
}
BOOL WINAPI fake_enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    auto state = active();
    return state ? state->setupapi.enum_interfaces(set, guid, index, data) : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                  PSP_DEVINFO_DATA device) {
    auto state = active();
    return state ? state->setupapi.interface_detail(set, data, detail, size, required, device)
                 : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_registry_property(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                   PBYTE buffer, DWORD size, PDWORD required) {
    auto state = active();
    return state ? state->setupapi.registry_property(set, device, property, type, buffer, size, required)
                 : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_destroy_set(HDEVINFO set) {
    auto state = active();
    return state ? state->setupapi.destroy_set(set) : fail(ERROR_INVALID_HANDLE);
}
HANDLE WINAPI fake_create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE template_file) {
    auto state = active();
    if (!state) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return state->create_file(name, access, share, security, disposition, flags, template_file);
}
BOOL WINAPI fake_io_control(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
    auto state = active();
    return state ? state->io_control(handle, code, in, in_size, out, out_size, returned, overlapped)
                 : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_overlapped_result(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
    auto state = active();
    return state ? state->overlapped_result(handle, overlapped, bytes, wait) : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_cancel_io(HANDLE handle, LPOVERLAPPED overlapped) {
    auto state = active();
    return state ? state->cancel_io(handle, overlapped) : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_close(HANDLE handle) {
    auto state = active();
    return state ? state->close(handle) : fail(ERROR_INVALID_HANDLE);
}

const host::win32::DeviceCalls kFakeCalls = {
    fake_class_devs,  fake_enum_interfaces, fake_interface_detail,  fake_registry_property, fake_destroy_set,
    fake_create_file, fake_io_control,      fake_overlapped_result, fake_cancel_io,         fake_close,
};

}  // namespace

FakeKernelDriver::FakeKernelDriver(std::shared_ptr<host::Backend> emulated)
    : state_(activate(std::make_shared<FakeDriverState>(std::move(emulated)))), installed_(kFakeCalls) {}

FakeKernelDriver::~FakeKernelDriver() {
    deactivate(state_.get());
    state_->shut_down();
}

FakeKernelDriver::Log FakeKernelDriver::log() const { return state_->log(); }
void FakeKernelDriver::clear_log() { state_->clear_log(); }
int FakeKernelDriver::open_handles() const { return state_->open_handles(); }
int FakeKernelDriver::open_sets() const { return state_->setupapi.open_sets(); }
int FakeKernelDriver::misuses() const { return state_->misuses(); }
void FakeKernelDriver::set_open_error(DWORD error) { state_->set_open_error(error); }

}  // namespace testing
}  // namespace zorbel
