#include "usb/open_denied.h"

#include <atomic>

namespace zorbel {
namespace host {

namespace {
std::atomic<bool> open_denied{false};
}

bool last_open_denied() { return open_denied.load(std::memory_order_relaxed); }

void note_open_result(bool denied) { open_denied.store(denied, std::memory_order_relaxed); }

}  // namespace host
}  // namespace zorbel
