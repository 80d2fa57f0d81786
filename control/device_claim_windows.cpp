// The claim on Windows: a named mutex (see device_claim.h).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <new>

#include "control/device_claim.h"

namespace zorbel {

namespace {

HANDLE handle_of(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

bool usable_name(const std::string& name) { return !name.empty() && name.size() < MAX_PATH; }

}  // namespace

std::unique_ptr<DeviceClaim> DeviceClaim::create(const std::string& name, Outcome& outcome) {
    outcome = Outcome::failed;
    if (!usable_name(name)) return nullptr;

    // Not inherited (no security attributes): a child program started by the
    // client must not keep the device claimed.
    ::SetLastError(ERROR_SUCCESS);
    HANDLE mutex = ::CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
        // A mutex of that name made by another user, which this one may not
        // open: held all the same.
        if (error == ERROR_ACCESS_DENIED) outcome = Outcome::held_elsewhere;
        return nullptr;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        outcome = Outcome::held_elsewhere;
        return nullptr;
    }
    std::unique_ptr<DeviceClaim> claim(new (std::nothrow)
                                           DeviceClaim(reinterpret_cast<std::intptr_t>(mutex), name));
    if (!claim) {
        ::CloseHandle(mutex);
        return nullptr;
    }
    outcome = Outcome::taken;
    return claim;
}

bool DeviceClaim::held(const std::string& name) {
    if (!usable_name(name)) return false;
    // Windows has no look at a name that does not open it. The probe holds
    // the mutex for the few instructions between these two calls; a
    // connection that starts within them is turned away as if the device
    // were in use, and may simply try again.
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
    ::CloseHandle(mutex);
    return true;
}

DeviceClaim::~DeviceClaim() { ::CloseHandle(handle_of(native_)); }

}  // namespace zorbel
