// The process millisecond clock that every protocol timing uses.
#ifndef ZORBEL_SUPPORT_CLOCK_H
#define ZORBEL_SUPPORT_CLOCK_H

#include <cstdint>

namespace zorbel {
namespace detail {

// Milliseconds since the process started, from a monotonic clock, as an
// unsigned 32-bit value. It wraps after about 49.7 days, so callers compare
// two readings only by their unsigned difference.
std::uint32_t clock_ms();

// Replaces the clock for tests that need to step time exactly (null restores
// the real one). Not for use while other threads read the clock.
void set_clock_for_testing(std::uint32_t (*clock)());

}  // namespace detail
}  // namespace zorbel

#endif
