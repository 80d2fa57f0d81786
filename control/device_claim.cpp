#include "control/device_claim.h"

#include "usb/host.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorbel {

namespace {
// Fixed text shared by every process that uses the library: the claims of
// all of them meet in one namespace, whichever version made them.
const char claim_prefix[] = "{46FD48E3-FCBA-45d6-942F-B44EAC7F97A5}@";
}  // namespace

std::string DeviceClaim::name_for_id(const char* id) {
    std::string name(claim_prefix);
    if (id) name.append(id, strnlen(id, 7));
    std::string scope = host::current_backend()->claim_scope();
    if (!scope.empty()) name += "#" + scope;
    return name;
}

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
