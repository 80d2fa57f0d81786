#include "zorbel/block.h"

// The time-outs start at 0: each transport sets its own in its constructor.
FormalSeqDriver::FormalSeqDriver() : finished(false), i_timeout(0), o_timeout(0) {}

FormalSeqDriver::FormalSeqDriver(const FormalSeqDriver& other)
    : finished(other.finished.load()), i_timeout(other.i_timeout.load()), o_timeout(other.o_timeout.load()) {}

FormalSeqDriver& FormalSeqDriver::operator=(const FormalSeqDriver& other) {
    finished.store(other.finished.load());
    i_timeout.store(other.i_timeout.load());
    o_timeout.store(other.o_timeout.load());
    return *this;
}

FormalSeqDriver::~FormalSeqDriver() = default;

bool FormalSeqDriver::hput_bytes(const unsigned char* data, unsigned int n) {
    bool ok = true;
    for (unsigned int i = 0; i < n; ++i) ok = hput_byte(data[i]) && ok;
    return ok;
}

// An unknown transport may wait in flush until the peer reads.
bool FormalSeqDriver::flush_waits_for_peer() { return true; }

void FormalSeqDriver::finish() { finished.store(true); }
bool FormalSeqDriver::is_finished() { return finished.load(); }
void FormalSeqDriver::set_i_timeout(unsigned long ms) { i_timeout.store(ms); }
void FormalSeqDriver::set_o_timeout(unsigned long ms) { o_timeout.store(ms); }
unsigned long FormalSeqDriver::get_i_timeout(unsigned long) { return i_timeout.load(); }
unsigned long FormalSeqDriver::get_o_timeout(unsigned long) { return o_timeout.load(); }
