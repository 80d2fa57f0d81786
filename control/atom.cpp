#include <atomic>

#include "zorbel/control.h"

namespace zorbel {
namespace {

// Uids are process-wide and never reused, so an atom found by uid is always
// the one that was meant, even after others came and went. Atoms are made on
// any thread, hence the atomic increment.
std::atomic<std::uint32_t> last_uid{0};

std::uint32_t next_uid() { return last_uid.fetch_add(1, std::memory_order_relaxed) + 1; }

}  // namespace
}  // namespace zorbel

XAtom::XAtom() : uid(zorbel::next_uid()), name(nullptr) {}
XAtom::XAtom(char* name) : uid(zorbel::next_uid()), name(name) {}

// A copy stands for the same atom: same uid, same name pointer.
XAtom::XAtom(const XAtom& other) : uid(other.uid), name(other.name) {}
XAtom& XAtom::operator=(const XAtom& other) {
    if (this == &other) return *this;
    uid = other.uid;
    name = other.name;
    return *this;
}

// The name belongs to whoever passed it in.
XAtom::~XAtom() = default;

unsigned long XAtom::get_uid() { return uid; }
char* XAtom::get_name() { return name; }
