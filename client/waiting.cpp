// Waiting for a device, and watching devices come and go.
#include <algorithm>
#include <atomic>
#include <thread>

#include "client/bus_changes.h"
#include "client/scan.h"

namespace zorbel {

// --- wait_for -------------------------------------------------------------------

namespace {

// How often a waiter looks while a change is fresh: a device that has just
// arrived may take a moment before it opens.
constexpr std::chrono::milliseconds kSettlingPoll(50);

DeviceInfo wait_for_device(const DeviceSelector& selector, std::optional<DeviceMode> mode,
                           std::optional<std::chrono::milliseconds> timeout,
                           const std::function<bool()>& keep_waiting, std::error_code* ec) {
    using Clock = std::chrono::steady_clock;
    detail::Outcome outcome;
    detail::BusChanges changes;  // subscribed before the first look, so no arrival is missed
    const Clock::time_point began = Clock::now();
    for (;;) {
        detail::Scan scan = detail::scan_devices();
        int matches = 0;
        const DeviceInfo* found = nullptr;
        for (const detail::ScannedDevice& d : scan.devices) {
            if (!selector.matches(d.info) || (mode && d.info.mode != *mode)) continue;
            if (++matches == 1) found = &d.info;
        }
        if (matches > 1) {
            outcome.fail(errc::ambiguous_selector, selector.describe() + " (" + std::to_string(matches) +
                                                       " devices match; name one by number)");
            break;
        }
        if (found) {
            outcome.report(ec);
            return *found;
        }
        if (keep_waiting && !keep_waiting()) {
            outcome.fail(errc::cancelled, "waiting for " + selector.describe());
            break;
        }
        // Waits in short steps, so that keep_waiting is asked often and a
        // device that arrives is found soon after it can be opened.
        auto step = std::chrono::milliseconds(100);
        if (timeout) {
            const auto left =
                *timeout - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
            if (left <= std::chrono::milliseconds(0)) {
                outcome.fail(errc::timed_out,
                             "waiting for " + selector.describe() +
                                 (mode ? std::string(" in ") + mode_name(*mode) + " mode" : ""));
                break;
            }
            step = std::min(step, left);
        }
        if (changes.wait(step)) changes.wait(std::min(step, kSettlingPoll));
    }
    outcome.report(ec);
    return DeviceInfo();
}

}  // namespace

DeviceInfo wait_for(const DeviceSelector& selector, std::optional<DeviceMode> mode,
                    std::optional<std::chrono::milliseconds> timeout,
                    const std::function<bool()>& keep_waiting) {
    return wait_for_device(selector, mode, timeout, keep_waiting, nullptr);
}

DeviceInfo wait_for(const DeviceSelector& selector, std::optional<DeviceMode> mode,
                    std::optional<std::chrono::milliseconds> timeout,
                    const std::function<bool()>& keep_waiting, std::error_code& ec) {
    return wait_for_device(selector, mode, timeout, keep_waiting, &ec);
}

// --- DeviceWatcher --------------------------------------------------------------

namespace {

// A device is the same device while it stays in one mode at one place with
// one identity; its number may change under it.
bool same_device(const DeviceInfo& a, const DeviceInfo& b) {
    return a.mode == b.mode && a.location == b.location && a.hardware_id == b.hardware_id && a.id == b.id;
}

bool contains(const std::vector<DeviceInfo>& list, const DeviceInfo& device) {
    return std::any_of(list.begin(), list.end(), [&](const DeviceInfo& d) { return same_device(d, device); });
}

}  // namespace

struct DeviceWatcher::Impl {
    Callback on_arrive;
    Callback on_leave;
    detail::BusChanges changes;
    std::atomic<bool> stopping{false};
    mutable detail::Mutex mutex;
    std::vector<DeviceInfo> devices GUARDED_BY(mutex);
    std::thread thread;  // last: starts once the members above exist

    void run() {
        // After a reported change, look a few more times in quick succession:
        // a device that arrives can take a moment before it opens.
        int settling_looks = 0;
        while (!stopping.load()) {
            const bool reported = changes.wait(settling_looks > 0 ? kSettlingPoll : changes.poll_interval());
            if (stopping.load()) break;
            settling_looks = reported ? 10 : std::max(0, settling_looks - 1);
            look();
        }
    }

    void look() {
        std::vector<DeviceInfo> now = list_devices();
        std::vector<DeviceInfo> before;
        {
            detail::MutexLock lock(mutex);
            before = devices;
            devices = now;
        }
        for (const DeviceInfo& d : before)
            if (!contains(now, d) && on_leave && !stopping.load()) on_leave(d);
        for (const DeviceInfo& d : now)
            if (!contains(before, d) && on_arrive && !stopping.load()) on_arrive(d);
    }
};

DeviceWatcher::DeviceWatcher(Callback on_arrive, Callback on_leave) : impl_(std::make_unique<Impl>()) {
    impl_->on_arrive = std::move(on_arrive);
    impl_->on_leave = std::move(on_leave);
    {
        std::vector<DeviceInfo> present = list_devices();
        detail::MutexLock lock(impl_->mutex);
        impl_->devices = std::move(present);
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

DeviceWatcher::~DeviceWatcher() {
    impl_->stopping.store(true);
    impl_->changes.wake();
    impl_->thread.join();
}

std::vector<DeviceInfo> DeviceWatcher::devices() const {
    detail::MutexLock lock(impl_->mutex);
    return impl_->devices;
}

}  // namespace zorbel
