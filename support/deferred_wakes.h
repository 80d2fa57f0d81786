// Wake-ups that a thread holding a lock puts off until it has let go of it.
//
// The reader thread sets channel flags while it holds protocol_critical for a
// whole chunk. A stream woken at that moment runs straight into that lock
// (its next step is a look at its queue inside the critical section) and
// goes to sleep a second time, to be woken once more when the chunk is done.
// While a DeferredWakes lives on a thread, Flag::set on that thread records
// the flag's word here instead of waking its waiters; wake_all() then wakes
// them all at once, after the lock has been released. The flag's state is
// set at once, so a thread that looks at the flag meanwhile sees it set; only
// a sleeper waits a little longer.
//
// Thread-safety: one object per thread, used by that thread alone. Whoever
// defers must keep every recorded flag alive until wake_all() has returned.
#ifndef ZORBEL_SUPPORT_DEFERRED_WAKES_H
#define ZORBEL_SUPPORT_DEFERRED_WAKES_H

#include <atomic>
#include <cstddef>

namespace zorbel {
namespace detail {

class DeferredWakes {
public:
    DeferredWakes();
    // Wakes whatever is still recorded.
    ~DeferredWakes();
    DeferredWakes(const DeferredWakes&) = delete;
    DeferredWakes& operator=(const DeferredWakes&) = delete;

    // The object deferring on the calling thread, or null.
    static DeferredWakes* current();

    // Records one word to wake; false when full (the caller wakes at once).
    bool add(std::atomic<int>* word);
    bool empty() const { return count_ == 0; }
    // Wakes every recorded word's sleepers and forgets them.
    void wake_all();

private:
    // A 1000-byte chunk holds at most 66 commands of 15 bytes.
    static constexpr std::size_t kCapacity = 72;
    std::atomic<int>* words_[kCapacity];
    std::size_t count_ = 0;
    DeferredWakes* outer_;
};

}  // namespace detail
}  // namespace zorbel

#endif
