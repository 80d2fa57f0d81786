// Flag's sleep on Windows: WaitOnAddress, the system's futex. Like the Linux
// futex it compares the word and sleeps in one step, and keeps the time limit
// itself.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "support/platform_wait.h"

namespace zorbel {
namespace detail {

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "an atomic int must be a plain int in memory");

namespace {

volatile VOID* address_of(std::atomic<int>& word) { return reinterpret_cast<volatile VOID*>(&word); }

}  // namespace

bool wait_on_word(std::atomic<int>& word, int expected, std::uint32_t ms) {
    const DWORD limit = ms == 0 ? INFINITE : static_cast<DWORD>(ms);
    if (::WaitOnAddress(address_of(word), &expected, sizeof expected, limit)) return true;
    return ::GetLastError() != ERROR_TIMEOUT;
}

void wake_all_on_word(std::atomic<int>& word) { ::WakeByAddressAll(const_cast<VOID*>(address_of(word))); }

}  // namespace detail
}  // namespace zorbel
