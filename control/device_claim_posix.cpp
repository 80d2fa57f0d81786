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

namespace {

// The abstract address of a claim; false when the name does not fit.
// Abstract names start with a zero byte and are not zero-terminated.
bool claim_address(const std::string& name, sockaddr_un& address, socklen_t& length) {
    address = sockaddr_un{};
    if (name.empty() || name.size() > sizeof address.sun_path - 1) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

}  // namespace

std::unique_ptr<DeviceClaim> DeviceClaim::create(const std::string& name, Outcome& outcome) {
    outcome = Outcome::failed;
    sockaddr_un address;
    socklen_t length;
    if (!claim_address(name, address, length)) return nullptr;

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno == EADDRINUSE) outcome = Outcome::held_elsewhere;
        ::close(fd);
        return nullptr;
    }
    // A backlog of one: a probe's connection waits there unaccepted, and once
    // it is full a probe hears "try again", which says "held" just as well.
    // Without listen() a probe could not tell a held name from a free one.
    (void)::listen(fd, 1);
    std::unique_ptr<DeviceClaim> claim(new (std::nothrow) DeviceClaim(fd, name));
    if (!claim) {
        ::close(fd);
        return nullptr;
    }
    outcome = Outcome::taken;
    return claim;
}

bool DeviceClaim::held(const std::string& name) {
    sockaddr_un address;
    socklen_t length;
    if (!claim_address(name, address, length)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    // Connected, or refused for a full backlog: a listening claim is there.
    // Refused outright: nobody holds the name.
    const bool there = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
                       errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return there;
}

DeviceClaim::~DeviceClaim() { ::close(static_cast<int>(native_)); }

}  // namespace zorbel
