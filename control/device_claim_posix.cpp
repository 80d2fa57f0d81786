// The claim on POSIX systems: a socket in Linux's abstract namespace (see
// device_claim.h).
#include "control/device_claim.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorbel {

std::unique_ptr<DeviceClaim> DeviceClaim::create(const std::string& name, Outcome& outcome) {
    outcome = Outcome::failed;
    sockaddr_un address{};
    // Abstract names start with a zero byte and are not zero-terminated.
    if (name.empty() || name.size() > sizeof address.sun_path - 1) return nullptr;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno == EADDRINUSE) outcome = Outcome::held_elsewhere;
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<DeviceClaim> claim(new (std::nothrow) DeviceClaim(fd, name));
    if (!claim) {
        ::close(fd);
        return nullptr;
    }
    outcome = Outcome::taken;
    return claim;
}

DeviceClaim::~DeviceClaim() { ::close(fd_); }

}  // namespace zorbel
