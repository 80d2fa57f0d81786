// The claim's name, the same on every platform.
#include <cstddef>

#include "control/device_claim.h"
#include "usb/host.h"

namespace zorbel {

namespace {
// Fixed text shared by every process that uses the library: the claims of
// all of them meet in one namespace, whichever version made them.
const char kClaimPrefix[] = "{46FD48E3-FCBA-45d6-942F-B44EAC7F97A5}@";
}  // namespace

std::string DeviceClaim::name_for_id(const char* id) {
    std::string name(kClaimPrefix);
    if (id) {
        std::size_t n = 0;
        while (n < 7 && id[n] != 0) ++n;  // at most the 7 characters of an ID
        name.append(id, n);
    }
    std::string scope = host::current_backend()->claim_scope();
    if (!scope.empty()) name += "#" + scope;
    return name;
}

}  // namespace zorbel
