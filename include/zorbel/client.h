// The modern interface: devices chosen by name, connections and pipes that
// give themselves back, reasons for failure, waiting and watching.
//
// It is a thin layer over the classic interface (zorbel/control.h,
// zorbel/usb.h): the same protocol stack, the same claims and numbering, so a
// program may mix both. What it adds is what a program written today expects:
//
//   zorbel::Connection c = zorbel::connect("ZB0000000002");  // by hardware ID
//   zorbel::Pipe p = c.pipe(1);
//   p.write("hello", 5);
//   p.flush();                        // returns once the device has the block
//   char answer[5];
//   p.read(answer, sizeof answer, std::chrono::seconds(2));
//   // p and c give the pipe and the device back when they go out of scope
//
// Errors: each call that can fail throws zorbel::Error (zorbel/error.h) and
// has an overload taking std::error_code& that does not throw (it reports
// the code and returns an empty value), as std::filesystem does.
//
// Thread-safety: the free functions from any thread. A Connection, a Pipe
// and a DeviceWatcher are each used by one thread at a time, except that
// Connection::close and the destructor of a Connection may run while another
// thread is blocked in one of its pipes (that call then ends with
// errc::cancelled). Different pipes of one connection may be used on
// different threads at once.
#ifndef ZORBEL_CLIENT_H
#define ZORBEL_CLIENT_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "zorbel/error.h"
#include "zorbel/export.h"

class ChanIOControl;

namespace zorbel {

enum class DeviceMode { boot, normal };

// "boot" or "normal".
ZORBEL_API const char* mode_name(DeviceMode mode);

// One attached device at the time it was listed.
struct DeviceInfo {
    // Today's device number: boot-mode devices first, then normal-mode ones,
    // as the classic functions count them. It shifts when a device arrives,
    // leaves or boots; the hardware ID does not.
    int number = -1;
    DeviceMode mode = DeviceMode::normal;
    // From the device's information record, in normal mode only: the type
    // letter ('T' or 'C'), the 12-character hardware ID and the 7-character
    // ID. A device in its boot loader reports none of them (0 and empty), nor
    // does one whose record could not be read.
    char type = 0;
    std::string hardware_id;
    std::string id;
    // Where it is attached: the bus number, a dash, then the port on each hub
    // from the root down ("1-4.2"). Empty when the backend cannot tell.
    std::string location;
    // Whether a connection, in this program or another, holds the device.
    bool in_use = false;
};

// Names one device: a device number, or a text that is a hardware ID, an ID
// or a bus location. Converts implicitly, so connect(1) and
// connect("ZB0000000002") both work.
class ZORBEL_API DeviceSelector {
public:
    DeviceSelector(int number);        // NOLINT(google-explicit-constructor): the point is connect(1)
    DeviceSelector(std::string text);  // NOLINT(google-explicit-constructor)
    DeviceSelector(const char* text);  // NOLINT(google-explicit-constructor)

    // A selector as a person types it: up to three digits are a device number
    // ("1"), anything else is a text ("0000001" is an ID).
    static DeviceSelector parse(const std::string& text);

    bool matches(const DeviceInfo& device) const;
    bool is_number() const { return is_number_; }
    int number() const { return number_; }
    const std::string& text() const { return text_; }
    // How messages name it: "device 1", "device ZB0000000002".
    std::string describe() const;

private:
    bool is_number_;
    int number_ = -1;
    std::string text_;
};

// The attached devices in device-number order. Devices that are listed on
// the bus but cannot be opened (no permission) are not among them, as they
// have no device number; connect() and find_device() say when that is why a
// selector matched nothing.
ZORBEL_API std::vector<DeviceInfo> list_devices();

// The one device the selector matches now. errc::no_such_device (or
// permission_denied, when a device that this user may not open is attached)
// when none does; errc::ambiguous_selector when several do.
ZORBEL_API DeviceInfo find_device(const DeviceSelector& selector);
ZORBEL_API DeviceInfo find_device(const DeviceSelector& selector, std::error_code& ec);

// One byte stream to a program on the device. Releases its reference when
// destroyed (the last reference ends the pipe on the device too). Bytes
// written collect in the channel's buffer and leave in blocks; flush()
// returns once the device has confirmed every block.
class ZORBEL_API Pipe {
public:
    Pipe() noexcept;  // no pipe
    ~Pipe();
    Pipe(Pipe&& other) noexcept;
    Pipe& operator=(Pipe&& other) noexcept;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool is_open() const noexcept;
    explicit operator bool() const noexcept { return is_open(); }
    int number() const noexcept { return number_; }

    // Takes all `size` bytes (sending full blocks as the device asks for
    // them) and returns `size`. On failure the error says why, as for flush;
    // the overload returns how many bytes were taken, which a later write
    // need not repeat (`timeout` bounds each wait for the device).
    std::size_t write(const void* data, std::size_t size,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    std::size_t write(const void* data, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                      std::error_code& ec);

    // Sends what is buffered and waits until the device confirms it.
    // errc::timed_out when that takes longer than `timeout` (nothing is lost:
    // a later flush carries on), errc::device_gone when the device went away,
    // errc::cancelled when the connection was closed.
    void flush(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    void flush(std::optional<std::chrono::milliseconds> timeout, std::error_code& ec);

    // Waits until at least one byte has arrived, then returns what there is,
    // up to `size` bytes. 0 at the end of the stream (the device closed the
    // pipe). errc::timed_out when nothing came within `timeout`.
    std::size_t read(void* buffer, std::size_t size,
                     std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    std::size_t read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                     std::error_code& ec);
    // As read, asking `keep_waiting` about every 50 ms while it waits for the
    // device (the device is asked nothing more for that); false ends the read
    // with errc::cancelled, nothing read. For a caller that must notice an
    // interrupt (Ctrl-C) during a long wait.
    std::size_t read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                     const std::function<bool()>& keep_waiting, std::error_code& ec);

    // Whether the device closed the pipe (nothing more will arrive).
    bool at_end() const noexcept;

    // Releases the pipe now; the destructor then does nothing.
    void close() noexcept;

    struct Impl;  // the classic pipe and its streams (opaque)

private:
    friend class Connection;
    std::unique_ptr<Impl> impl_;
    int number_ = 0;
};

// A running connection to one device in normal mode. Owns the classic
// connection; moving it moves the ownership. Pipes may outlive it. Destroying
// or closing it first ends every pipe still open on the device, while the
// link is up (the device's programs see their pipes end, and the next
// connection's pipes with those numbers start afresh), then stops the
// connection and gives the device back (its claim, its reader thread). Every
// call on a pipe still alive then fails with errc::cancelled; the pipe lets
// go of its channels when it is closed or destroyed.
class ZORBEL_API Connection {
public:
    Connection() noexcept;  // holds no device
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool is_open() const noexcept;
    explicit operator bool() const noexcept { return is_open(); }
    // The device as it was when the connection started.
    const DeviceInfo& device() const;

    // Opens pipe `number` (1..125) with an optional name. errc::busy when
    // this connection has that pipe open already; errc::invalid_argument for
    // a number out of range; errc::device_gone once lost(); errc::cancelled
    // after close().
    Pipe pipe(int number, const std::string& name = std::string());
    Pipe pipe(int number, const std::string& name, std::error_code& ec);

    // Whether the device went away and did not come back: every pipe fails
    // with errc::device_gone from then on.
    bool lost() const noexcept;

    // Stops and gives the device back now; the destructor then does nothing.
    void close() noexcept;

    // Records every USB transfer this connection makes, both ways, with
    // microsecond timestamps, to `path` (pcapng in the layout of a Linux
    // usbmon capture; README "Seeing the wire"), in place of the capture
    // ZORBEL_CAPTURE named for it, if any. The file is overwritten, and is
    // complete once recording stops (stop_capture, close). Recording never
    // holds a transfer up: records the disk cannot take in time are dropped
    // and counted in the file. The error is the file's own (generic
    // category) when it cannot be made; errc::invalid_argument after close().
    void capture(const std::string& path);
    void capture(const std::string& path, std::error_code& ec);
    // Stops recording and completes the file.
    void stop_capture() noexcept;

    // The classic connection underneath, for calls this interface does not
    // have. Owned by this object; valid while it is open.
    ChanIOControl& classic();

    // What connect() builds; shared with the pipes, which keep the classic
    // connection alive until the last of them is released.
    struct State;
    explicit Connection(std::shared_ptr<State> state) noexcept;

private:
    Pipe adopt(std::unique_ptr<Pipe::Impl> impl, int number);
    std::shared_ptr<State> state_;
};

// Claims and starts the device the selector names. errc::wrong_mode for a
// device in its boot loader, errc::busy when another connection holds it,
// and the reasons of find_device.
ZORBEL_API Connection connect(const DeviceSelector& selector);
ZORBEL_API Connection connect(const DeviceSelector& selector, std::error_code& ec);

// What boot() is doing, reported to its progress callback.
enum class BootStage {
    handing_over,  // the image is being handed to the boot loader
    restarting,    // taken; waiting for the device to come back (repeated)
};

// Called during boot(); returning false cancels it (errc::cancelled).
using BootProgress = std::function<bool(BootStage stage)>;

// Hands `image` to the boot-mode device the selector names and waits until
// it is back in normal mode, then returns it as it is now (found by its
// hardware ID, whatever number it has then). errc::wrong_mode for a device
// in normal mode, errc::invalid_argument for an image it refused,
// errc::timed_out when it was not back within `timeout`.
ZORBEL_API DeviceInfo boot(const DeviceSelector& selector, const void* image, std::size_t size,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30),
                           const BootProgress& progress = BootProgress());
ZORBEL_API DeviceInfo boot(const DeviceSelector& selector, const void* image, std::size_t size,
                           std::chrono::milliseconds timeout, const BootProgress& progress,
                           std::error_code& ec);

// Waits until the selector matches a device (in `mode`, when given) and
// returns it. errc::timed_out when none did within `timeout` (none: no
// limit); errc::cancelled when `keep_waiting` returned false (it is asked
// every tenth of a second or so).
ZORBEL_API DeviceInfo wait_for(const DeviceSelector& selector, std::optional<DeviceMode> mode = std::nullopt,
                               std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                               const std::function<bool()>& keep_waiting = std::function<bool()>());
ZORBEL_API DeviceInfo wait_for(const DeviceSelector& selector, std::optional<DeviceMode> mode,
                               std::optional<std::chrono::milliseconds> timeout,
                               const std::function<bool()>& keep_waiting, std::error_code& ec);

// Tells when devices arrive and leave, on a thread of its own, from the
// backend's hot-plug events (the machine's USB, or the emulated bus), with a
// look at the bus now and then where the backend has none. A device that
// boots leaves in boot mode and arrives in normal mode.
//
// The callbacks run on the watcher's thread, one at a time; they may call
// the library (list_devices, connect, ...) but must not destroy the watcher.
class ZORBEL_API DeviceWatcher {
public:
    using Callback = std::function<void(const DeviceInfo& device)>;

    // Starts watching. The devices present now are not reported; devices()
    // has them.
    DeviceWatcher(Callback on_arrive, Callback on_leave);
    // Stops the thread and waits for it (and a callback under way).
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // The devices as the watcher last saw them.
    std::vector<DeviceInfo> devices() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorbel

#endif
