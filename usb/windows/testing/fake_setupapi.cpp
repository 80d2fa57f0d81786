#include "usb/windows/testing/fake_setupapi.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "usb/windows/driver_interface.h"
#include "usb/windows/testing/fake_driver_state.h"
#include "zorbel/usb.h"

namespace zorbel {
namespace testing {
namespace fake {
namespace {

// The interface classes as the driver registers them, in registry form.
const char kNormalClass[] = "{B66756D6-C253-43B1-A065-80913EC5AC72}";
const char kBootClass[] = "{00873FDF-61A8-11D1-AA5E-00C04FB1728B}";
// The USB device setup class, whose drivers' keys live under it.
const char kUsbDriverKeys[] = "{36fc9e60-c465-11cf-8056-444553540000}\\";

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

// The kind whose class `guid` is, or -1.
int kind_of(const GUID* guid) {
    if (!guid) return -1;
    static const GUID kNormal = parse_guid(kNormalClass);
    static const GUID kBoot = parse_guid(kBootClass);
    if (std::memcmp(guid, &kNormal, sizeof kNormal) == 0) return DEVICE_KIND_NORMAL;
    if (std::memcmp(guid, &kBoot, sizeof kBoot) == 0) return DEVICE_KIND_BOOT;
    return -1;
}

const char kPathStart[] = "\\\\?\\usb#vid_0b66&pid_";

}  // namespace

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string interface_path(int kind, const std::string& place) {
    char pid[8];
    std::snprintf(pid, sizeof pid, "%04x",
                  kind == DEVICE_KIND_NORMAL ? ZORBEL_USB_PRODUCT_NORMAL : ZORBEL_USB_PRODUCT_BOOT);
    return kPathStart + std::string(pid) + "#" + place + "#" +
           lower(kind == DEVICE_KIND_NORMAL ? kNormalClass : kBootClass);
}

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

std::string driver_key(const std::string& place) { return kUsbDriverKeys + place; }

HDEVINFO FakeSetupApi::class_devs(const GUID* guid, PCSTR enumerator, DWORD flags) {
    auto set = std::make_unique<InterfaceSet>();
    // Interfaces are listed only in a set of interfaces
    // (DIGCF_DEVICEINTERFACE); the emulated bus knows only present ones.
    set->kind = (flags & DIGCF_DEVICEINTERFACE) ? kind_of(guid) : -1;
    if (guid) set->guid = *guid;
    if (set->kind >= 0) {
        for (int i = 0;; ++i) {
            const std::string place = emulated_->location(set->kind, i);
            if (place.empty()) break;
            set->places.push_back(place);
        }
    }
    detail::MutexLock lock(mutex_);
    class_devs_.push_back({guid ? *guid : GUID{}, flags, enumerator == nullptr});
    auto* key = reinterpret_cast<HDEVINFO>(set.get());
    sets_[key] = std::move(set);
    return key;
}

BOOL FakeSetupApi::enum_interfaces(HDEVINFO key, const GUID* guid, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data) {
    detail::MutexLock lock(mutex_);
    interfaces_.push_back({data ? data->cbSize : 0, index});
    auto it = sets_.find(key);
    if (it == sets_.end()) return misuse();
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    const InterfaceSet& set = *it->second;
    if (!guid || std::memcmp(guid, &set.guid, sizeof set.guid) != 0 || index >= set.places.size())
        return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = set.guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;  // which member the record is
    return TRUE;
}

int FakeSetupApi::member_of(const InterfaceSet& set, ULONG_PTR reserved) {
    return reserved == 0 || reserved > set.places.size() ? -1 : static_cast<int>(reserved - 1);
}

BOOL FakeSetupApi::interface_detail(HDEVINFO key, PSP_DEVICE_INTERFACE_DATA data,
                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                    PSP_DEVINFO_DATA device) {
    detail::MutexLock lock(mutex_);
    details_.push_back({detail ? detail->cbSize : 0, size});
    auto it = sets_.find(key);
    if (it == sets_.end()) return misuse();
    const InterfaceSet& set = *it->second;
    const int member =
        data && data->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA) ? member_of(set, data->Reserved) : -1;
    if (member < 0) return fail(ERROR_INVALID_PARAMETER);
    const std::string path = interface_path(set.kind, set.places[member]);
    const DWORD needed = host::win32::kDetailPathOffset + static_cast<DWORD>(path.size() + 1);
    if (required) *required = needed;
    if (!detail) return fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
    if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (device && device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device) {
        device->ClassGuid = parse_guid("{36FC9E60-C465-11CF-8056-444553540000}");
        device->DevInst = static_cast<DWORD>(member) + 1;
        device->Reserved = static_cast<ULONG_PTR>(member) + 1;
    }
    return TRUE;
}

BOOL FakeSetupApi::registry_property(HDEVINFO key, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                     PBYTE buffer, DWORD size, PDWORD required) {
    detail::MutexLock lock(mutex_);
    auto it = sets_.find(key);
    if (it == sets_.end()) return misuse();
    const InterfaceSet& set = *it->second;
    const int member =
        device && device->cbSize == sizeof(SP_DEVINFO_DATA) ? member_of(set, device->Reserved) : -1;
    if (member < 0) return fail(ERROR_INVALID_PARAMETER);
    if (property != SPDRP_DRIVER) return fail(ERROR_INVALID_DATA);  // the only one the fake keeps
    const std::string text = driver_key(set.places[member]);
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (required) *required = needed;
    if (type) *type = REG_SZ;
    if (!buffer || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), needed);
    return TRUE;
}

BOOL FakeSetupApi::destroy_set(HDEVINFO key) {
    std::unique_ptr<InterfaceSet> set;
    detail::MutexLock lock(mutex_);
    auto it = sets_.find(key);
    if (it == sets_.end()) return misuse();
    set = std::move(it->second);
    sets_.erase(it);
    return TRUE;
}

void FakeSetupApi::log_into(FakeKernelDriver::Log& log) const {
    detail::MutexLock lock(mutex_);
    log.class_devs = class_devs_;
    log.interfaces = interfaces_;
    log.details = details_;
}

void FakeSetupApi::clear_log() {
    detail::MutexLock lock(mutex_);
    class_devs_.clear();
    interfaces_.clear();
    details_.clear();
}

int FakeSetupApi::open_sets() const {
    detail::MutexLock lock(mutex_);
    return static_cast<int>(sets_.size());
}

int FakeSetupApi::misuses() const {
    detail::MutexLock lock(mutex_);
    return misuses_;
}

void FakeSetupApi::clear_sets() {
    detail::MutexLock lock(mutex_);
    sets_.clear();
}

BOOL FakeSetupApi::misuse() {
    ++misuses_;
    return fail(ERROR_INVALID_HANDLE);
}

}  // namespace fake
}  // namespace testing
}  // namespace zorbel
