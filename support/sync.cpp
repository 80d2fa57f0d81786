#include <chrono>

#include "support/critical_section.h"
#include "zorbel/support.h"

const char* dll_ver = "2.9 07/09/2001";

// --- Flag ------------------------------------------------------------------

Flag::Flag() = default;
Flag::~Flag() = default;

void Flag::set(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = on;
        mirror_.store(on, std::memory_order_release);
    }
    if (on) changed_.notify_all();
}

void Flag::clear() { set(false); }

bool Flag::is_set() { return mirror_.load(std::memory_order_acquire); }

bool Flag::sys_wait_set(unsigned long ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Time-outs are 32-bit quantities: 0 and 0xFFFFFFFF mean no limit, as
    // INFINITE does. Where unsigned long is wider, anything above 32 bits is
    // no limit too; passed on, it would overflow the clock's deadline.
    if (ms == 0 || ms >= 0xFFFFFFFFul) {
        changed_.wait(lock, [this] { return signalled_; });
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; });
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
