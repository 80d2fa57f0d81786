#include "support/clock.h"

#include <atomic>
#include <chrono>

namespace zorbel {
namespace detail {
namespace {

using steady = std::chrono::steady_clock;

// Taken when the library is loaded, which is as close to process start as a
// library can get; the protocol only ever compares differences.
const steady::time_point kProcessStart = steady::now();

std::atomic<std::uint32_t (*)()> clock_override{nullptr};

}  // namespace

std::uint32_t clock_ms() {
    if (auto fake = clock_override.load(std::memory_order_acquire)) return fake();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - kProcessStart);
    return static_cast<std::uint32_t>(elapsed.count());
}

void set_clock_for_testing(std::uint32_t (*clock)()) {
    clock_override.store(clock, std::memory_order_release);
}

}  // namespace detail
}  // namespace zorbel
