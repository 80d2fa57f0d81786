// Sleeping on one 32-bit word until another thread changes it, with a time-out
// that is relative: the kernel keeps the time, so a wait reads no clock of its
// own. Flag waits this way, once per block on the data path. One
// implementation per platform (platform_wait_linux.cpp: the futex).
#ifndef ZORBEL_SUPPORT_PLATFORM_WAIT_H
#define ZORBEL_SUPPORT_PLATFORM_WAIT_H

#include <atomic>
#include <cstdint>

namespace zorbel {
namespace detail {

// Sleeps while `word` holds `expected`, for at most `ms` milliseconds (0: no
// limit), or until wake_all_on_word(word). It may also return early for no
// reason, so callers look at the word again. False when the time ran out.
bool wait_on_word(std::atomic<int>& word, int expected, std::uint32_t ms);

// Wakes every thread sleeping in wait_on_word on `word`.
void wake_all_on_word(std::atomic<int>& word);

}  // namespace detail
}  // namespace zorbel

#endif
