// One incarnation of an emulated device on the bus: from being plugged in (or
// re-enumerating after a boot) to being unplugged. Handles opened during an
// incarnation fail once it ends, as handles of a real device do when it
// leaves the bus.
#ifndef ZORBEL_EMULATOR_DEVICE_SESSION_H
#define ZORBEL_EMULATOR_DEVICE_SESSION_H

#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <thread>

#include "emulator/device_pipe.h"
#include "emulator/lane.h"
#include "support/mutex.h"
#include "zorbel/block.h"

namespace zorbel {
namespace emulator {

// Thread-safety: `alive` from any thread; shut_down() from any thread but a
// thread of the session itself.
class Session {
public:
    explicit Session(bool boot_mode) : boot_mode(boot_mode) {}
    virtual ~Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Ends the incarnation: later requests fail, requests under way end.
    virtual void shut_down() { alive.store(false); }

    const bool boot_mode;
    std::atomic<bool> alive{true};
};

// The device's own byte transport: what its block engine sends goes to the
// host as one transfer per flush; what the host sends is pushed into the
// engine by the host-to-device lane, so nothing is ever polled here.
//
// Thread-safety: hput_byte/flush under the engine's output mutex.
class DeviceTransport final : public FormalSeqDriver {
public:
    explicit DeviceTransport(Lane& to_host) : to_host_(to_host) {}

    int hget_byte() override { return -1; }
    bool hput_byte(int c) override;
    bool open_port(char*, long, long) override { return true; }
    bool close_port(char*) override { return true; }
    bool init() override { return true; }
    bool done() override;
    bool flush() override;
    // A flush queues its transfer on the lane to the host and returns.
    bool flush_waits_for_peer() override { return false; }
    bool set_input_callback_buff(unsigned char*, unsigned int) override { return true; }
    bool set_input_block_driver(BlockDriver*) override { return true; }
    BlockDriver* get_input_block_driver() override { return nullptr; }
    unsigned char* get_input_callback_buff() override { return nullptr; }
    unsigned int get_input_callback_buff_len() override { return 0; }

private:
    Lane& to_host_;
    unsigned char out_buf_[4096];
    unsigned int out_count_ = 0;  // under the engine's output mutex
};

// A normal-mode incarnation: two lanes, the device's transport and block
// engine, and one thread per bound pipe running its program.
//
// Host side: write() is a transfer to the device; read() takes the next chunk
// from the device (pull mode: the host's reader thread itself waits, no
// thread in between). One handle reads at a time, as the USB transport does.
//
// The session outlives a cable pulled and put back (detach, attach): the
// device keeps its engine, its channels and its programs, as a device with its
// own power does; only the transfers on the cable are lost, and the handles
// opened before fail. A restart (a new session) is what a reboot gives.
class NormalSession final : public Session {
public:
    // `restarted`: the device has just restarted under a host that may still
    // have channels open on it, so each pipe server sends cmd_reset on its
    // two channels before it serves.
    NormalSession(std::shared_ptr<ProgramTable> programs, const LaneSettings& to_device,
                  const LaneSettings& to_host, bool restarted = false);
    ~NormalSession() override;

    // Starts the engine's input and a server for every bound pipe.
    void start();
    void shut_down() override;
    // Starts a server for a pipe bound after start (no-op when running).
    void serve(int pipe);

    // The cable is pulled: transfers in flight are lost, the read under way
    // ends with failure, sends to the host fail, and handles opened so far
    // stay dead. Called under the bus's lock; never blocks.
    void detach();
    // The cable is back: the device takes requests again from new handles.
    void attach();
    // Which attachment a handle belongs to; handles compare it at each request.
    unsigned attachment() const { return attachment_.load(); }

    // A read by `reader` (a handle of attachment `attached`), which fails
    // once `closed` is true or the cable has been pulled since: both are
    // looked at after the read is registered, so a close or an unplug that
    // races with the start of the read still ends it.
    long read(const void* reader, const std::atomic<bool>& closed, unsigned attached, unsigned char* buf,
              unsigned int len);
    // Ends the read of `reader` under way, or its next one.
    void cancel_read(const void* reader);
    // Ends `reader`'s read under way, and nothing else.
    void end_read_of(const void* reader);
    long write(const unsigned char* data, unsigned int len);

    void set_link(const LaneSettings& to_device, const LaneSettings& to_host);
    LaneStats to_device_stats() const { return to_device_.stats(); }
    LaneStats to_host_stats() const { return to_host_.stats(); }

private:
    std::shared_ptr<ProgramTable> programs_;
    const bool restarted_;
    std::atomic<unsigned> attachment_{0};
    Lane to_device_;
    Lane to_host_;
    DeviceTransport transport_;
    BlockDriver engine_;
    StopSignal stop_;

    detail::Mutex servers_mutex_;
    std::map<int, std::thread> servers_ GUARDED_BY(servers_mutex_);
    bool servers_closed_ GUARDED_BY(servers_mutex_) = false;

    detail::Mutex read_mutex_;
    const void* reading_ GUARDED_BY(read_mutex_) = nullptr;
    // Handles whose next read is to fail: a cancel that came while they were
    // not reading. One entry per handle, so one handle's cancel never
    // replaces another's.
    std::set<const void*> cancel_for_ GUARDED_BY(read_mutex_);
};

}  // namespace emulator
}  // namespace zorbel

#endif
