#include "support/platform_wait.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace zorbel {
namespace detail {

// The futex works on the word's address; an atomic int is that word.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "an atomic int must be a plain int in memory");

namespace {

int* address_of(std::atomic<int>& word) { return reinterpret_cast<int*>(&word); }

}  // namespace

bool wait_on_word(std::atomic<int>& word, int expected, std::uint32_t ms) {
    timespec relative{};
    timespec* limit = nullptr;
    if (ms != 0) {
        relative.tv_sec = static_cast<time_t>(ms / 1000);
        relative.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        limit = &relative;
    }
    const long r = ::syscall(SYS_futex, address_of(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
    return !(r == -1 && errno == ETIMEDOUT);
}

void wake_all_on_word(std::atomic<int>& word) {
    ::syscall(SYS_futex, address_of(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace detail
}  // namespace zorbel
