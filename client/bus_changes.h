// Waiting for the set of attached devices to change: woken by the backend's
// hot-plug events where it has them, and at the latest after a poll interval
// (a device can become openable some time after it arrives, and a backend
// without events is only ever polled). Follows the backend in force: an
// emulated bus made or destroyed while waiting is picked up at the next wait.
//
// Thread-safety: wait() on one thread; wake() from any thread.
#ifndef ZORBEL_CLIENT_BUS_CHANGES_H
#define ZORBEL_CLIENT_BUS_CHANGES_H

#include <chrono>
#include <condition_variable>
#include <memory>

#include "support/mutex.h"
#include "usb/host.h"

namespace zorbel {
namespace detail {

class BusChanges {
public:
    BusChanges();
    BusChanges(const BusChanges&) = delete;
    BusChanges& operator=(const BusChanges&) = delete;

    // Returns when the backend reported a change since the last wait, when
    // wake() was called, or after `most`. True when something was reported.
    bool wait(std::chrono::milliseconds most);
    void wake();

    // How long to wait between looks when nothing is reported: longer when
    // the backend reports changes itself.
    std::chrono::milliseconds poll_interval() const;

private:
    struct Signal {
        Mutex mutex;
        std::condition_variable changed_cv;
        bool changed GUARDED_BY(mutex) = false;
    };

    void follow_backend();

    const std::shared_ptr<Signal> signal_ = std::make_shared<Signal>();
    std::weak_ptr<host::Backend> backend_;  // not kept alive by waiting on it
    std::shared_ptr<void> subscription_;
};

}  // namespace detail
}  // namespace zorbel

#endif
