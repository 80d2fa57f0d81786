#include <pthread.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
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

void keep_exact_time_on_this_thread() {
#ifdef __linux__
    // The smallest slack there is: 1 ns (0 would mean the default again).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void begin_fine_timer_resolution() {}
void end_fine_timer_resolution() {}

}  // namespace detail
}  // namespace zorbel
