// Selection of the backend in force: a stack of installed backends (emulated
// buses) in front of the platform's own.
#include "usb/host.h"

#include <algorithm>
#include <vector>

#include "support/mutex.h"
#include "usb/platform.h"

namespace zorbel {
namespace host {
namespace {

// The mutex and the stack are built on first use so that an emulated bus
// constructed during static initialisation elsewhere still finds them.
struct Registry {
    detail::Mutex mutex;
    std::vector<std::shared_ptr<Backend>> pushed GUARDED_BY(mutex);  // newest last
    std::shared_ptr<Backend> platform GUARDED_BY(mutex);             // made on first need
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: backends may be
    return *r;                          // released from static destructors
}

}  // namespace

std::shared_ptr<Backend> current_backend() {
    Registry& r = registry();
    detail::MutexLock lock(r.mutex);
    if (!r.pushed.empty()) return r.pushed.back();
    if (!r.platform) r.platform = make_platform_backend();
    return r.platform;
}

void push_backend(std::shared_ptr<Backend> backend) {
    if (!backend) return;
    Registry& r = registry();
    detail::MutexLock lock(r.mutex);
    r.pushed.push_back(std::move(backend));
}

void remove_backend(const Backend* backend) {
    Registry& r = registry();
    std::shared_ptr<Backend> released;  // let go outside the lock
    detail::MutexLock lock(r.mutex);
    auto it = std::find_if(r.pushed.begin(), r.pushed.end(),
                           [backend](const std::shared_ptr<Backend>& b) { return b.get() == backend; });
    if (it != r.pushed.end()) {
        released = std::move(*it);
        r.pushed.erase(it);
    }
}

}  // namespace host
}  // namespace zorbel
