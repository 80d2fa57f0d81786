#include <pthread.h>
#include <unistd.h>

#include <string>

#include "support/platform_process.h"

namespace zorbel {
namespace detail {

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

void name_this_thread(const char* name) {
#ifdef __linux__
    if (name != nullptr && *name != 0)
        pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
#else
    (void)name;
#endif
}

}  // namespace detail
}  // namespace zorbel
