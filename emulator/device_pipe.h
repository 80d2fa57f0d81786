// The device's side of one pipe number: the pair of device-side channel
// streams and the loop that runs the bound program on them, pipe after pipe.
#ifndef ZORBEL_EMULATOR_DEVICE_PIPE_H
#define ZORBEL_EMULATOR_DEVICE_PIPE_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <vector>

#include "support/mutex.h"
#include "zorbel/emulator.h"

namespace zorbel {
namespace emulator {

// The end of a session as the device's pipe servers see it: a flag, and a
// wake-up for every device stream that waits, so that a program blocked in a
// read or a flush notices the end at once rather than after its step.
//
// Thread-safety: any thread.
class StopSignal {
public:
    bool raised() const { return raised_.load(); }
    const std::atomic<bool>& flag() const { return raised_; }
    void raise();
    // Streams register their channel's Flag for the wake-up while they live.
    void add(Flag* flag);
    void remove(Flag* flag);

private:
    std::atomic<bool> raised_{false};
    detail::Mutex mutex_;
    std::vector<Flag*> flags_ GUARDED_BY(mutex_);
};

// The programs bound to one device's pipe numbers. It outlives the device's
// sessions (a device plugged in again runs the same programs), so it is
// shared between the device and each session.
//
// Thread-safety: any thread.
class ProgramTable {
public:
    void bind(int pipe, DeviceProgram program);
    std::vector<int> bound_pipes();
    // The program bound to `pipe`, waiting for a binding until `stop` turns
    // true (then empty). Whoever sets `stop` calls wake().
    DeviceProgram wait_program(int pipe, const std::atomic<bool>& stop);
    void wake();

private:
    detail::Mutex mutex_;
    std::condition_variable changed_;
    std::map<int, DeviceProgram> programs_ GUARDED_BY(mutex_);
};

// Serves pipe `pipe` on the device's block engine until `stop` is raised: the host's
// output channel 2p-1 is read, channel 2p written. When the host deletes its
// pipe (the device's channels turn bad) the channels are re-initialised in
// place rather than rebuilt: destroying them would send cmd_delete, which
// could strike a new host pipe with the same number. `announce_reset`: the
// device has just restarted, so both channels first tell the host with
// cmd_reset, which makes a host pipe still open on them start again from
// block 0 as they do.
void serve_pipe(BlockDriver& engine, int pipe, ProgramTable& programs, StopSignal& stop, bool announce_reset);

}  // namespace emulator
}  // namespace zorbel

#endif
