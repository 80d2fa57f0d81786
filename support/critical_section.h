// The process-wide critical section (protocol_critical) as a capability that
// clang's thread-safety analysis can follow. The public header keeps the
// standard recursive mutex that client programs lock; the library's own code
// takes it through these, so that what it guards can say so.
#ifndef ZORBEL_SUPPORT_CRITICAL_SECTION_H
#define ZORBEL_SUPPORT_CRITICAL_SECTION_H

#include "support/thread_annotations.h"
#include "zorbel/support.h"

namespace zorbel {
namespace detail {

// Stateless: every object stands for the one protocol_critical. Recursive, as
// protocol_critical is (the analysis itself treats it as not re-entrant, so
// code that enters it twice on one path does so through the public API).
class CAPABILITY("mutex") CriticalSection {
public:
    void lock() ACQUIRE() { protocol_critical.lock(); }
    void unlock() RELEASE() { protocol_critical.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return protocol_critical.try_lock(); }
    // For code that runs inside the critical section without having taken it
    // through this class: a function whose callers hold it (its declaration
    // sits in a public header, which carries no annotations), or a standard
    // lock on protocol_critical. Checks nothing at run time: it is where the
    // rule is written down, and from there on the compiler checks that the
    // function touches what the critical section guards only as it says.
    void assert_held() const ASSERT_CAPABILITY(this) {}
};

// The name annotations use for protocol_critical.
extern CriticalSection critical_section;

// Holds the critical section for its scope.
class SCOPED_CAPABILITY CriticalLock {
public:
    CriticalLock() ACQUIRE(critical_section) { critical_section.lock(); }
    ~CriticalLock() RELEASE() { critical_section.unlock(); }
    CriticalLock(const CriticalLock&) = delete;
    CriticalLock& operator=(const CriticalLock&) = delete;
};

}  // namespace detail
}  // namespace zorbel

#endif
