// The callbacks a backend calls when its devices change (host::Backend::watch),
// for backends to keep: adding one gives the token that removes it.
//
// Thread-safety: every member from any thread. notify() calls the callbacks
// outside the lock, so a callback may add or release listeners; a callback
// released while notify() runs may still be called once.
#ifndef ZORBEL_USB_CHANGE_LISTENERS_H
#define ZORBEL_USB_CHANGE_LISTENERS_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "support/mutex.h"

namespace zorbel {
namespace host {

class ChangeListeners {
public:
    ChangeListeners() : state_(std::make_shared<State>()) {}

    // The callback stays until the token is released; the token may outlive
    // this object.
    std::shared_ptr<void> add(std::function<void()> callback);

    // Calls every callback once.
    void notify();

private:
    struct State {
        detail::Mutex mutex;
        std::uint64_t next_id GUARDED_BY(mutex) = 1;
        std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> callbacks GUARDED_BY(mutex);
    };
    class Token {
    public:
        Token(const std::shared_ptr<State>& state, std::uint64_t id) : state_(state), id_(id) {}
        ~Token();
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;

    private:
        std::weak_ptr<State> state_;
        std::uint64_t id_;
    };

    const std::shared_ptr<State> state_;
};

}  // namespace host
}  // namespace zorbel

#endif
