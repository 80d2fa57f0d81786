#include "zorbel/channel.h"

IO::IO() : flags(0), timeout(0) {}
IO::IO(const IO& other) : flags(other.flags.load()), timeout(other.timeout.load()) {}
IO& IO::operator=(const IO& other) {
    flags.store(other.flags.load());
    timeout.store(other.timeout.load());
    return *this;
}
IO::~IO() = default;

// Streams of this library have no size.
long IO::get_size() { return -1; }

bool IO::is_bad() { return (flags.load() & 0x1) != 0; }
bool IO::is_eof() { return (flags.load() & 0x2) != 0; }
bool IO::is_good() { return !is_bad(); }
int IO::get_flags() { return flags.load(); }
void IO::set_timeout(long ms) { timeout.store(ms); }
long IO::get_timeout() { return timeout.load(); }
void IO::set(int mask) { flags.fetch_or(mask); }
void IO::clear(int mask) { flags.fetch_and(~mask); }

Input::Input() = default;
Output::Output() = default;
