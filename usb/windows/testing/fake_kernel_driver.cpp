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
#include "zorbel/usb.h"

namespace zorbel {
namespace testing {

using fake::fail;
using fake::FakeHandle;

namespace {

// The interface classes as the driver registers them, in registry form.
const char kNormalClass[] = "{B66756D6-C253-43B1-A065-80913EC5AC72}";
const char kBootClass[] = "{00873FDF-61A8-11D1-AA5E-00C04FB1728B}";

GUID parse_guid(const char* text) {
    unsigned data1 = 0, data2 = 0, data3 = 0, b[8] = {};
    std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2, &data3, &b[0], &b[1], &b[2],
                &b[3], &b[4], &b[5], &b[6], &b[7]);
    GUID guid;
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return guid;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The kind whose class `guid` is, or -1.
int kind_of(const GUID* guid) {
    if (!guid) return -1;
    static const GUID kNormal = parse_guid(kNormalClass);
    static const GUID kBoot = parse_guid(kBootClass);
    if (std::memcmp(guid, &kNormal, sizeof kNormal) == 0) return DEVICE_KIND_NORMAL;
    if (std::memcmp(guid, &kBoot, sizeof kBoot) == 0) return DEVICE_KIND_BOOT;
    return -1;
}

// "\\?\usb#vid_0b66&pid_0041#<place>#{class}"
const char kPathStart[] = "\\\\?\\usb#vid_0b66&pid_";

std::string interface_path(int kind, const std::string& place) {
    char pid[8];
    std::snprintf(pid, sizeof pid, "%04x",
                  kind == DEVICE_KIND_NORMAL ? ZORBEL_USB_PRODUCT_NORMAL : ZORBEL_USB_PRODUCT_BOOT);
    return kPathStart + std::string(pid) + "#" + place + "#" +
           lower(kind == DEVICE_KIND_NORMAL ? kNormalClass : kBootClass);
}

// The kind and place an interface path names; false when it names none.
bool parse_interface_path(const std::string& path, int& kind, std::string& place) {
    const std::string text = lower(path);
    const std::size_t start = sizeof kPathStart - 1;
    if (text.compare(0, start, kPathStart) != 0) return false;
    const std::size_t first = text.find('#', start);
    const std::size_t last = text.rfind('#');
    if (first == std::string::npos || last <= first) return false;
    for (int k : {DEVICE_KIND_NORMAL, DEVICE_KIND_BOOT}) {
        place = path.substr(first + 1, last - first - 1);
        if (interface_path(k, place) == text) {
            kind = k;
            return true;
        }
    }
    return false;
}

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
        : emulated_(std::move(emulated)),
          // Each fake hands out values of its own, so that a handle left over
          // from an earlier fake is not taken for one of this fake's.
          base_(0x10000000u + 0x100000u * (generations.fetch_add(1) % 0x100)) {}

    HDEVINFO class_devs(const GUID* guid, PCSTR enumerator, HWND, DWORD flags) {
        auto set = std::make_unique<InterfaceSet>();
        // Interfaces are listed only for a set of interfaces
        // (DIGCF_DEVICEINTERFACE); the emulated bus knows only present ones.
        const int kind = (flags & DIGCF_DEVICEINTERFACE) ? kind_of(guid) : -1;
        if (guid) set->guid = *guid;
        if (kind >= 0) {
            for (int i = 0;; ++i) {
                const std::string place = emulated_->location(kind, i);
                if (place.empty()) break;
                set->paths.push_back(interface_path(kind, place));
            }
        }
        detail::MutexLock lock(mutex_);
        log_.class_devs.push_back({guid ? *guid : GUID{}, flags, enumerator == nullptr});
        auto* key = reinterpret_cast<HDEVINFO>(set.get());
        sets_[key] = std::move(set);
        return key;
    }

    BOOL enum_interfaces(HDEVINFO key, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                         PSP_DEVICE_INTERFACE_DATA data) {
        detail::MutexLock lock(mutex_);
        log_.interfaces.push_back({data ? data->cbSize : 0, index});
        auto it = sets_.find(key);
        if (it == sets_.end()) return misuse();
        if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        const InterfaceSet& set = *it->second;
        if (!guid || std::memcmp(guid, &set.guid, sizeof set.guid) != 0 || index >= set.paths.size())
            return fail(ERROR_NO_MORE_ITEMS);
        data->InterfaceClassGuid = set.guid;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = index + 1;  // which member the record is
        return TRUE;
    }

    BOOL interface_detail(HDEVINFO key, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required) {
        detail::MutexLock lock(mutex_);
        log_.details.push_back({detail ? detail->cbSize : 0, size});
        auto it = sets_.find(key);
        if (it == sets_.end()) return misuse();
        const InterfaceSet& set = *it->second;
        if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
            data->Reserved > set.paths.size())
            return fail(ERROR_INVALID_PARAMETER);
        const std::string& path = set.paths[data->Reserved - 1];
        const DWORD needed = host::win32::kDetailPathOffset + static_cast<DWORD>(path.size() + 1);
        if (required) *required = needed;
        if (!detail) return fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return fail(ERROR_INVALID_USER_BUFFER);
        if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
        return TRUE;
    }

    BOOL destroy_set(HDEVINFO key) {
        std::unique_ptr<InterfaceSet> set;
        detail::MutexLock lock(mutex_);
        auto it = sets_.find(key);
        if (it == sets_.end()) return misuse();
        set = std::move(it->second);
        sets_.erase(it);
        return TRUE;
    }

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
            sets_.clear();
        }
        for (auto& entry : left) entry.second->shut();
    }

    FakeKernelDriver::Log log() const {
        detail::MutexLock lock(mutex_);
        return log_;
    }
    void clear_log() {
        detail::MutexLock lock(mutex_);
        log_ = FakeKernelDriver::Log();
    }
    int open_handles() const {
        detail::MutexLock lock(mutex_);
        return static_cast<int>(std::count_if(handles_.begin(), handles_.end(), [](const auto& entry) {
            return entry.second->kind == FakeHandle::Kind::device;
        }));
    }
    int open_sets() const {
        detail::MutexLock lock(mutex_);
        return static_cast<int>(sets_.size());
    }
    int misuses() const {
        detail::MutexLock lock(mutex_);
        return misuses_;
    }
    void set_open_error(DWORD error) {
        detail::MutexLock lock(mutex_);
        open_error_ = error;
    }

private:
    struct InterfaceSet {
        GUID guid = {};
        std::vector<std::string> paths;  // the present interfaces when made
    };

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
        const std::string text = lower(path);
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
        if (!parse_interface_path(path, kind, place)) return ERROR_FILE_NOT_FOUND;
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
    std::map<HDEVINFO, std::unique_ptr<InterfaceSet>> sets_ GUARDED_BY(mutex_);
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

HDEVINFO WINAPI fake_class_devs(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
    auto state = active();
    if (!state) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return state->class_devs(guid, enumerator, window, flags);
}
BOOL WINAPI fake_enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    auto state = active();
    return state ? state->enum_interfaces(set, info, guid, index, data) : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                  PSP_DEVINFO_DATA) {
    auto state = active();
    return state ? state->interface_detail(set, data, detail, size, required) : fail(ERROR_INVALID_HANDLE);
}
BOOL WINAPI fake_destroy_set(HDEVINFO set) {
    auto state = active();
    return state ? state->destroy_set(set) : fail(ERROR_INVALID_HANDLE);
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
    fake_class_devs, fake_enum_interfaces,   fake_interface_detail, fake_destroy_set, fake_create_file,
    fake_io_control, fake_overlapped_result, fake_cancel_io,        fake_close,
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
int FakeKernelDriver::open_sets() const { return state_->open_sets(); }
int FakeKernelDriver::misuses() const { return state_->misuses(); }
void FakeKernelDriver::set_open_error(DWORD error) { state_->set_open_error(error); }

}  // namespace testing
}  // namespace zorbel
