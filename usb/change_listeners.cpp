#include "usb/change_listeners.h"

#include <utility>
#include <vector>

namespace zorbel {
namespace host {

std::shared_ptr<void> ChangeListeners::add(std::function<void()> callback) {
    std::uint64_t id;
    {
        detail::MutexLock lock(state_->mutex);
        id = state_->next_id++;
        state_->callbacks[id] = std::make_shared<std::function<void()>>(std::move(callback));
    }
    return std::make_shared<Token>(state_, id);
}

ChangeListeners::Token::~Token() {
    // The token holds the table weakly: a backend that is gone has nothing
    // left to remove the callback from.
    std::shared_ptr<State> state = state_.lock();
    if (!state) return;
    std::shared_ptr<std::function<void()>> released;  // destroyed outside the lock
    detail::MutexLock lock(state->mutex);
    auto it = state->callbacks.find(id_);
    if (it != state->callbacks.end()) {
        released = std::move(it->second);
        state->callbacks.erase(it);
    }
}

void ChangeListeners::notify() {
    std::vector<std::shared_ptr<std::function<void()>>> callbacks;
    {
        detail::MutexLock lock(state_->mutex);
        for (const auto& entry : state_->callbacks) callbacks.push_back(entry.second);
    }
    for (const auto& callback : callbacks) (*callback)();
}

}  // namespace host
}  // namespace zorbel
