// The system-wide claim on one device: a named marker that any process using
// the library can see, so that a device is driven by one connection at a time.
#ifndef ZORBEL_CONTROL_DEVICE_CLAIM_H
#define ZORBEL_CONTROL_DEVICE_CLAIM_H

#include <cstdint>
#include <memory>
#include <string>

namespace zorbel {

// How each platform makes the marker (one file per platform):
//
// Linux (device_claim_posix.cpp): a Unix socket in the abstract namespace,
// bound to the claim's name. Binding is atomic and fails with EADDRINUSE
// while any process holds the name, which is exactly "did the marker already
// exist"; the kernel drops the name when the socket is closed, also when its
// process dies (SIGKILL included), so a crashed client never leaves a device
// claimed. Nothing is left on disk and nothing needs cleaning up. The
// descriptor is close-on-exec so that a child program started by the client
// does not keep the device claimed. The socket listens (and never accepts),
// so that others can ask whether the claim is held by connecting, without
// taking it even for a moment.
//
// Windows (device_claim_windows.cpp): a named mutex, as every program that
// uses the device there expects: creating it reports ERROR_ALREADY_EXISTS
// while any process holds a handle to it, and the system closes the handle
// of a process that ends. The handle is not inherited by child processes.
//
// Thread-safety: create() may run on any thread; one claim object is used by
// one thread at a time.
class DeviceClaim {
public:
    enum class Outcome { taken, held_elsewhere, failed };

    // Takes the marker `name` (at most 107 bytes). On `taken` the claim is
    // returned; otherwise null, with the reason in `outcome`.
    static std::unique_ptr<DeviceClaim> create(const std::string& name, Outcome& outcome);

    // Whether some process holds the marker `name` now. Never takes it, so a
    // connection starting at the same moment is not turned away.
    static bool held(const std::string& name);

    // The name of the claim on the device whose ID is `id`, in the claim scope
    // of the device host in force (see host::Backend::claim_scope).
    static std::string name_for_id(const char* id);

    ~DeviceClaim();
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    const std::string& name() const { return name_; }

private:
    // `native` is the platform's object: a descriptor on Linux, a HANDLE on
    // Windows.
    DeviceClaim(std::intptr_t native, std::string name) : native_(native), name_(std::move(name)) {}

    std::intptr_t native_;
    std::string name_;
};

}  // namespace zorbel

#endif
