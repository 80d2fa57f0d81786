#include <chrono>

#include "support/critical_section.h"
#include "support/deferred_wakes.h"
#include "support/platform_wait.h"
#include "zorbel/support.h"

const char* dll_ver = "2.9 07/09/2001";

// --- Flag ------------------------------------------------------------------

Flag::Flag() = default;
Flag::~Flag() = default;

// Sequentially consistent, both here and in the waiter: a setter that reads
// no waiter is certain that a waiter still to come will see the flag set
// before it sleeps, and the system's wait itself refuses to sleep once the
// word has changed.
void Flag::set(bool on) {
    state_.store(on ? 1 : 0);
    if (!on || waiters_.load() == 0) return;
    zorbel::detail::DeferredWakes* deferred = zorbel::detail::DeferredWakes::current();
    if (deferred == nullptr || !deferred->add(&state_)) zorbel::detail::wake_all_on_word(state_);
}

void Flag::clear() { state_.store(0); }

bool Flag::is_set() { return state_.load(std::memory_order_acquire) != 0; }

// Time-outs are 32-bit quantities: 0 and 0xFFFFFFFF mean no limit, as
// INFINITE does; where unsigned long is wider, anything above 32 bits is no
// limit too. The limit is kept by the system, relative to the start of each
// sleep, so the wait reads no clock. Only a sleep that ends with the flag
// still clear (set and cleared again meanwhile, or a signal) makes the wait
// look at the clock, from then on, to spend what is left; the time slept
// before that point is not counted, so such a wait lasts at most twice `ms`.
bool Flag::sys_wait_set(unsigned long ms) {
    if (is_set()) return true;
    const bool no_limit = ms == 0 || ms >= 0xFFFFFFFFul;
    const auto limit = no_limit ? 0u : static_cast<std::uint32_t>(ms);
    std::uint32_t left = limit;
    bool measuring = false;
    std::chrono::steady_clock::time_point since;
    waiters_.fetch_add(1);
    bool found = false;
    for (;;) {
        if (state_.load() != 0) {
            found = true;
            break;
        }
        if (!zorbel::detail::wait_on_word(state_, 0, left)) {
            found = state_.load() != 0;
            break;
        }
        if (no_limit || state_.load() != 0) continue;
        const auto now = std::chrono::steady_clock::now();
        if (!measuring) {
            measuring = true;
            since = now;
            continue;
        }
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
        if (spent >= limit) break;
        left = limit - static_cast<std::uint32_t>(spent);
    }
    waiters_.fetch_sub(1);
    return found;
}

bool Flag::wait_set(unsigned long ms) {
    if (Synchro::is_finished()) return false;
    // Values beyond 32 bits saturate rather than wrap, so that they too
    // leave nothing to wait, like every value from 0x80000000 on.
    std::uint32_t t = ms == 0 || ms > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms);
    std::uint32_t slice = t < 500 ? t : 500;
    // Taken as signed: 0 and values of 2^31 and above leave nothing to wait.
    std::int32_t remaining = static_cast<std::int32_t>(t);
    while (remaining > 0 && !Synchro::is_finished()) {
        if (sys_wait_set(slice)) return true;
        remaining -= static_cast<std::int32_t>(slice);
    }
    return false;
}

// --- DeferredWakes ---------------------------------------------------------

namespace zorbel {
namespace detail {
namespace {

thread_local DeferredWakes* deferring = nullptr;

}  // namespace

DeferredWakes::DeferredWakes() : words_{}, outer_(deferring) { deferring = this; }

DeferredWakes::~DeferredWakes() {
    deferring = outer_;
    wake_all();
}

DeferredWakes* DeferredWakes::current() { return deferring; }

bool DeferredWakes::add(std::atomic<int>* word) {
    for (std::size_t i = 0; i < count_; ++i)
        if (words_[i] == word) return true;
    if (count_ == kCapacity) return false;
    words_[count_++] = word;
    return true;
}

void DeferredWakes::wake_all() {
    for (std::size_t i = 0; i < count_; ++i) wake_all_on_word(*words_[i]);
    count_ = 0;
}

}  // namespace detail
}  // namespace zorbel

// --- MutexCounter ----------------------------------------------------------

MutexCounter::MutexCounter(char*) {}
MutexCounter::~MutexCounter() = default;
void MutexCounter::lock() { mutex_.lock(); }
void MutexCounter::unlock() { mutex_.unlock(); }

// --- Synchro ---------------------------------------------------------------

std::atomic<bool> Synchro::_finished{false};

bool Synchro::finish() {
    _finished.store(true);
    return true;
}

bool Synchro::is_finished() { return _finished.load(); }

// --- protocol_critical -----------------------------------------------------

// Constant-initialised, so it is usable from any static constructor.
std::recursive_mutex protocol_critical;

namespace zorbel {
namespace detail {
CriticalSection critical_section;  // stateless: usable before it is constructed
}  // namespace detail
}  // namespace zorbel

int proc_enter_critical() {
    protocol_critical.lock();
    return 0;
}

void proc_leave_critical(int) { protocol_critical.unlock(); }

Critical::Critical() : token(proc_enter_critical()) {}
Critical::~Critical() { proc_leave_critical(token); }

unsigned long clock_sec() { return 0; }
