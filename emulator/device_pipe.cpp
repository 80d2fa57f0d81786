#include "emulator/device_pipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zorbel {
namespace emulator {
namespace {

// One blocking step of a device stream: short, so that a program notices
// within about this long that it should stop.
constexpr long kStepMs = 100;

// Lets a stream wait for its channel to be deleted by the host, and start
// again from block 0 without telling the host anything.
template <class Stream>
class DeviceStream : public Stream {
public:
    DeviceStream(BlockDriver* engine, unsigned long number, StopSignal& stop)
        : Stream(engine, number), stop_(stop) {
        this->set_timeout(kStepMs);
        stop_.add(&this->flag);
    }
    ~DeviceStream() override { stop_.remove(&this->flag); }

    void restart() { this->init(); }

    // Waits up to `ms` for the channel to turn bad (the host's cmd_delete
    // sets the bad bit, then the flag), or for the stop. The flag is cleared
    // before each look: whatever else it signalled is dropped with the
    // restart that follows.
    bool wait_bad(long ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            this->flag.clear();
            if (this->is_bad()) return true;
            if (stop_.raised()) return false;
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) return false;
            this->flag.sys_wait_set(static_cast<unsigned long>(std::min<long long>(left, 50)));
        }
    }

    long available() { return this->can_get_bytes(); }
    long fetch() { return this->get_block(); }
    // Copies from the block already taken, whatever the link's state: once
    // taken, a block has been confirmed to the host, so its bytes belong to
    // the program even when the engine has finished (read() would refuse).
    long take(unsigned char* buf, long count) {
        long n = std::min<long>(count, this->length.load() - this->position.load());
        if (n <= 0) return 0;
        std::memcpy(buf, this->buffer + this->position.load(), static_cast<std::size_t>(n));
        this->position.fetch_add(static_cast<std::int32_t>(n));
        return n;
    }
    long room() { return this->can_put_bytes(); }

private:
    StopSignal& stop_;
};

using DeviceInput = DeviceStream<ChanInput>;
using DeviceOutput = DeviceStream<ChanOutput>;

class PipeImpl final : public DevicePipe {
public:
    PipeImpl(int number, BlockDriver& engine, DeviceInput& in, DeviceOutput& out, const StopSignal& stop)
        : number_(number), engine_(engine), in_(in), out_(out), stop_(stop) {}

    int number() const override { return number_; }
    ::ChannelInput& input() override { return in_; }
    ::ChannelOutput& output() override { return out_; }

    bool finished() override {
        return stop_.raised() || engine_.is_finished() || in_.is_bad() || out_.is_bad();
    }

    long read_some(unsigned char* buf, long count) override {
        // A block the stream has taken was confirmed to the host with the
        // request for the next one, and the host may delete the pipe (or the
        // device be unplugged) the moment it sees that: the block's bytes
        // still go to the program, and only then does finished() end it. A
        // fetch never takes a stale block (a restart marks the block before
        // 0 as the last one received), so what it took is the host's.
        if (in_.available() <= 0) {
            if (finished()) return -1;
            if (count <= 0) return 0;
            if (in_.fetch() < 0) return finished() ? -1 : 0;
        }
        return count <= 0 ? 0 : in_.take(buf, count);
    }

    bool write_all(const unsigned char* data, long count) override {
        while (count > 0) {
            if (finished()) return false;
            if (out_.room() <= 0) {
                out_.flush();  // a failed flush keeps the bytes; try again
                continue;
            }
            // Only what fits: a write that has to flush and fails would not
            // say which of its bytes stayed buffered.
            long n = std::min(count, out_.room());
            out_.write(data, n);
            data += n;
            count -= n;
        }
        while (!out_.flush()) {
            if (finished()) return false;
        }
        return true;
    }

private:
    int number_;
    BlockDriver& engine_;
    DeviceInput& in_;
    DeviceOutput& out_;
    const StopSignal& stop_;
};

}  // namespace

void StopSignal::raise() {
    raised_.store(true);
    detail::MutexLock lock(mutex_);
    for (Flag* flag : flags_) flag->set(true);
}

void StopSignal::add(Flag* flag) {
    detail::MutexLock lock(mutex_);
    flags_.push_back(flag);
    if (raised_.load()) flag->set(true);
}

void StopSignal::remove(Flag* flag) {
    detail::MutexLock lock(mutex_);
    flags_.erase(std::remove(flags_.begin(), flags_.end(), flag), flags_.end());
}

void ProgramTable::bind(int pipe, DeviceProgram program) {
    {
        detail::MutexLock lock(mutex_);
        if (program)
            programs_[pipe] = std::move(program);
        else
            programs_.erase(pipe);
    }
    changed_.notify_all();
}

std::vector<int> ProgramTable::bound_pipes() {
    detail::MutexLock lock(mutex_);
    std::vector<int> pipes;
    for (const auto& entry : programs_) pipes.push_back(entry.first);
    return pipes;
}

DeviceProgram ProgramTable::wait_program(int pipe, const std::atomic<bool>& stop) {
    detail::MutexLock lock(mutex_);
    lock.wait(changed_, [&]() REQUIRES(mutex_) { return stop.load() || programs_.count(pipe) != 0; });
    if (stop.load()) return nullptr;
    return programs_[pipe];
}

void ProgramTable::wake() {
    // Taking the lock orders the wake-up after a waiter's look at `stop`.
    { detail::MutexLock lock(mutex_); }
    changed_.notify_all();
}

void serve_pipe(BlockDriver& engine, int pipe, ProgramTable& programs, StopSignal& stop,
                bool announce_reset) {
    DeviceInput in(&engine, static_cast<unsigned long>(2 * pipe - 1), stop);
    DeviceOutput out(&engine, static_cast<unsigned long>(2 * pipe), stop);
    if (announce_reset) {
        in.reset();
        out.reset();
    }
    while (!stop.raised()) {
        DeviceProgram program = programs.wait_program(pipe, stop.flag());
        if (!program) break;
        PipeImpl view(pipe, engine, in, out, stop);
        program(view);

        // A program that returned on its own leaves the pipe unanswered until
        // the host deletes it. The host deletes both channels of a pipe
        // together, so once one is bad the other follows within moments;
        // restarting before that would let the late deletion strike the
        // fresh channel.
        while (!stop.raised() && !engine.is_finished() && !in.is_bad() && !out.is_bad()) in.wait_bad(kStepMs);
        if (stop.raised() || engine.is_finished()) break;
        if (!in.is_bad()) in.wait_bad(200);
        if (!out.is_bad()) out.wait_bad(200);
        in.restart();
        out.restart();
    }
}

}  // namespace emulator
}  // namespace zorbel
