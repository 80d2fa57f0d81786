#include "emulator/device_session.h"

#include <cstring>

namespace zorbel {
namespace emulator {

bool DeviceTransport::hput_byte(int c) {
    out_buf_[out_count_++] = static_cast<unsigned char>(c);
    if (out_count_ < sizeof out_buf_) return true;
    return flush();
}

bool DeviceTransport::flush() {
    if (out_count_ == 0) return true;
    bool sent = !is_finished() && to_host_.send(out_buf_, out_count_);
    out_count_ = 0;
    return sent;
}

bool DeviceTransport::done() {
    finish();
    return true;
}

NormalSession::NormalSession(std::shared_ptr<ProgramTable> programs, const LaneSettings& to_device,
                             const LaneSettings& to_host, bool restarted)
    : Session(false),
      programs_(std::move(programs)),
      restarted_(restarted),
      to_device_(to_device),
      to_host_(to_host),
      transport_(to_host_),
      engine_("emulated device", &transport_) {
    // The device's end needs no supervision of its own: the host's side
    // watches the link, and the device simply stops when unplugged.
    engine_.link_check.store(false);
    engine_.connected.store(true);
}

NormalSession::~NormalSession() { shut_down(); }

void NormalSession::start() {
    to_device_.start([this, refusals = 0u](const unsigned char* data, unsigned len) mutable {
        // The engine only reads the chunk; its interface predates const.
        if (engine_.dispatch_block_callback(const_cast<unsigned char*>(data), len)) {
            refusals = 0;
            return true;
        }
        // Refused: wait as the engine says before the lane offers it again.
        engine_.await_dispatch(refusals++);
        return false;
    });
    for (int pipe : programs_->bound_pipes()) serve(pipe);
}

void NormalSession::serve(int pipe) {
    detail::MutexLock lock(servers_mutex_);
    if (servers_closed_ || servers_.count(pipe)) return;
    servers_.emplace(pipe,
                     std::thread([this, pipe] { serve_pipe(engine_, pipe, *programs_, stop_, restarted_); }));
}

void NormalSession::shut_down() {
    alive.store(false);
    // Host requests end first (a read under way returns -1), then the device
    // stops taking input, then its streams see the engine finished and are
    // woken from their waits.
    to_host_.close();
    to_device_.close();
    transport_.finish();
    stop_.raise();
    programs_->wake();
    std::map<int, std::thread> servers;
    {
        detail::MutexLock lock(servers_mutex_);
        servers_closed_ = true;
        servers.swap(servers_);
    }
    for (auto& entry : servers) entry.second.join();
}

void NormalSession::detach() {
    {
        detail::MutexLock lock(read_mutex_);
        attachment_.fetch_add(1);
        cancel_for_.clear();
    }
    to_host_.close();
    to_device_.discard();
}

void NormalSession::attach() { to_host_.reopen(); }

long NormalSession::read(const void* reader, const std::atomic<bool>& closed, unsigned attached,
                         unsigned char* buf, unsigned int len) {
    std::uint64_t opened = 0;
    {
        detail::MutexLock lock(read_mutex_);
        if (cancel_for_.erase(reader) != 0) return -1;
        if (closed.load() || attachment_.load() != attached) return -1;
        reading_ = reader;
        // Under read_mutex_, which detach() takes before it closes the lane:
        // a cable pulled from here on ends the take below, also when it is
        // put back before the take begins.
        opened = to_host_.closings();
    }
    long n = alive.load() ? to_host_.take(buf, len, opened) : -1;
    detail::MutexLock lock(read_mutex_);
    reading_ = nullptr;
    // A cancel aimed at this read that came after it had its data has not
    // been consumed by the lane; left there, it would fail whichever read
    // comes next, on any handle. It stays this reader's, for its next read.
    if (to_host_.withdraw_cancel() && n > 0) cancel_for_.insert(reader);
    // Bytes taken by a read that started before the cable was pulled and
    // ran on after it was put back were lost with the cable.
    if (attachment_.load() != attached) return -1;
    return n;
}

void NormalSession::cancel_read(const void* reader) {
    detail::MutexLock lock(read_mutex_);
    if (reading_ == reader)
        to_host_.cancel_take();
    else
        cancel_for_.insert(reader);
}

void NormalSession::end_read_of(const void* reader) {
    detail::MutexLock lock(read_mutex_);
    if (reading_ == reader) to_host_.cancel_take();
    cancel_for_.erase(reader);
}

long NormalSession::write(const unsigned char* data, unsigned int len) {
    if (!alive.load() || len == 0) return -1;
    return to_device_.send(data, len) ? static_cast<long>(len) : -1;
}

void NormalSession::set_link(const LaneSettings& to_device, const LaneSettings& to_host) {
    to_device_.set_settings(to_device);
    to_host_.set_settings(to_host);
}

}  // namespace emulator
}  // namespace zorbel
