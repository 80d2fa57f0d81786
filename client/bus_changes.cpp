#include "client/bus_changes.h"

namespace zorbel {
namespace detail {

BusChanges::BusChanges() { follow_backend(); }

void BusChanges::follow_backend() {
    std::shared_ptr<host::Backend> current = host::current_backend();
    if (current == backend_.lock()) return;
    subscription_.reset();
    backend_ = current;
    // The callback runs on a backend thread, perhaps after this object is
    // gone; it holds the signal, not the object.
    std::shared_ptr<Signal> signal = signal_;
    subscription_ = current->watch([signal] {
        {
            MutexLock lock(signal->mutex);
            signal->changed = true;
        }
        signal->changed_cv.notify_all();
    });
}

bool BusChanges::wait(std::chrono::milliseconds most) {
    follow_backend();
    MutexLock lock(signal_->mutex);
    lock.wait_for(signal_->changed_cv, most, [this]() NO_THREAD_SAFETY_ANALYSIS { return signal_->changed; });
    const bool changed = signal_->changed;
    signal_->changed = false;
    return changed;
}

void BusChanges::wake() {
    {
        MutexLock lock(signal_->mutex);
        signal_->changed = true;
    }
    signal_->changed_cv.notify_all();
}

std::chrono::milliseconds BusChanges::poll_interval() const {
    return std::chrono::milliseconds(subscription_ ? 1000 : 250);
}

}  // namespace detail
}  // namespace zorbel
