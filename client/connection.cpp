// Connection and Pipe: the classic connection and its pipes as objects that
// give themselves back.
//
// A Connection and its Pipes share one State, which owns the classic
// connection. Closing the Connection first tells the device that every pipe
// still open ends, while the link is up, then stops it (the claim and the
// reader thread go at once); the State itself, with the pipe factory the
// pipes still use, goes with the last of them, since the classic interface
// wants every pipe released before its connection is destroyed.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "client/scan.h"
#include "zorbel/control.h"
#include "zorbel/usb.h"

namespace zorbel {

struct Connection::State {
    ChanIOControl control;
    DeviceInfo device;
    std::atomic<bool> closed{false};
};

namespace {

// The classic streams' time-out in milliseconds: 0 means no limit there, so
// a zero or negative time-out asked for here becomes the shortest wait.
long classic_timeout(std::optional<std::chrono::milliseconds> timeout) {
    if (!timeout) return 0;
    const auto ms = timeout->count();
    if (ms <= 0) return 1;
    return static_cast<long>(std::min<std::chrono::milliseconds::rep>(ms, LONG_MAX));
}

}  // namespace

// --- Connection ------------------------------------------------------------------

Connection::Connection() noexcept = default;
Connection::Connection(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
Connection::~Connection() { close(); }
Connection::Connection(Connection&& other) noexcept = default;

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

bool Connection::is_open() const noexcept { return state_ != nullptr; }

const DeviceInfo& Connection::device() const {
    if (!state_) throw Error(errc::invalid_argument, "the connection is closed");
    return state_->device;
}

bool Connection::lost() const noexcept {
    if (!state_) return false;
    BlockDriver* engine = state_->control.get_block_driver();
    return engine == nullptr || engine->is_finished();
}

namespace {

// Sends cmd_delete for every channel still registered, as releasing their
// pipes would. A pipe may outlive its connection, and once the connection has
// stopped its release reaches nothing: the device would keep the channels'
// block numbers, and the next connection's pipe with that number, starting
// from block 0, would find every block taken as stale.
void end_channels_on_device(ChanIOControl& control) {
    BlockDriver* engine = control.get_block_driver();
    if (engine == nullptr || engine->is_finished()) return;
    for (int n = 0; n < static_cast<int>(engine->total_channels()); ++n)
        if (engine->channel_registered(n)) engine->out_command(n, BlockProtocol::cmd_delete, 0);
}

}  // namespace

void Connection::close() noexcept {
    if (!state_) return;
    state_->closed.store(true);
    end_channels_on_device(state_->control);
    state_->control.stop();
    state_.reset();
}

ChanIOControl& Connection::classic() {
    if (!state_) throw Error(errc::invalid_argument, "the connection is closed");
    return state_->control;
}

namespace {

Connection start_connection(const DeviceSelector& selector, std::error_code* ec) {
    detail::Outcome outcome;
    // A device that arrives or leaves between the look and the start can
    // move another device under the chosen number; the started device is
    // checked against the chosen one, and the choice made again if it moved.
    for (int attempt = 0; attempt < 3; ++attempt) {
        detail::Scan scan = detail::scan_devices();
        const detail::ScannedDevice* chosen = detail::select_device(scan, selector, outcome);
        if (!chosen) break;
        const DeviceInfo& info = chosen->info;
        const std::string name = "device " + std::to_string(info.number);
        if (info.mode == DeviceMode::boot) {
            outcome.fail(errc::wrong_mode, name + " is in boot mode; a connection needs it booted first");
            break;
        }
        if (info.in_use) {
            outcome.fail(errc::busy, name + " (ID " + info.id + ") is in use by another connection");
            break;
        }
        auto state = std::make_shared<Connection::State>();
        state->device = info;
        detail::clear_last_error();
        if (!state->control.start(info.number)) {
            outcome.fail_from_classic(errc::io_error, name);
            break;
        }
        char id[8] = {};
        if (Get_Zorbel_ID(info.number, id) && info.id == id) {
            outcome.report(ec);
            return Connection(std::move(state));
        }
        state->control.stop();
        outcome.fail(errc::device_gone, selector.describe() + " moved while connecting");
    }
    outcome.report(ec);
    return Connection();
}

}  // namespace

Connection connect(const DeviceSelector& selector) { return start_connection(selector, nullptr); }
Connection connect(const DeviceSelector& selector, std::error_code& ec) {
    return start_connection(selector, &ec);
}

// --- Pipe ----------------------------------------------------------------------

struct Pipe::Impl {
    std::shared_ptr<Connection::State> connection;
    std::string name;  // the classic pipe keeps a pointer to it
    XPipe* pipe = nullptr;
    ChannelInput* input = nullptr;
    ChannelOutput* output = nullptr;

    // Whether the connection was closed: every call then fails so, also a
    // write that the buffer would still take.
    bool refuse_if_closed(detail::Outcome& outcome, const char* doing) const {
        if (!connection->closed.load()) return false;
        explain(outcome, doing);
        return true;
    }

    // Why a stream call just failed: the stream recorded it (timed out,
    // closed, link ended), except that a connection closed here is told as
    // such.
    void explain(detail::Outcome& outcome, const char* doing) const {
        const std::string what = doing + std::string(" pipe ") + std::to_string(pipe->get_num());
        if (connection->closed.load())
            outcome.fail(errc::cancelled, what + " (the connection was closed)");
        else
            outcome.fail_from_classic(errc::io_error, what);
    }
};

namespace {

std::unique_ptr<Pipe::Impl> open_pipe(const std::shared_ptr<Connection::State>& state, int number,
                                      const std::string& name, detail::Outcome& outcome) {
    const std::string what = "pipe " + std::to_string(number);
    if (!state || state->closed.load()) {
        outcome.fail(errc::cancelled, what + " (the connection is closed)");
        return nullptr;
    }
    if (number < 1 || number > 125) {
        outcome.fail(errc::invalid_argument, what + " (pipe numbers run from 1 to 125)");
        return nullptr;
    }
    BlockDriver* engine = state->control.get_block_driver();
    if (engine == nullptr || engine->is_finished()) {
        outcome.fail(errc::device_gone, what + " (the device went away)");
        return nullptr;
    }
    XPipeFactory* factory = state->control.get_pipe_factory();
    auto impl = std::make_unique<Pipe::Impl>();
    impl->connection = state;
    impl->name = name;
    char* classic_name = impl->name.empty() ? nullptr : &impl->name[0];
    impl->pipe = factory ? factory->new_pipe(classic_name, static_cast<unsigned long>(number), 0) : nullptr;
    if (!impl->pipe) {
        // The factory refuses a number that a pipe of this connection holds.
        outcome.fail(errc::busy, what + " is open already on this connection");
        return nullptr;
    }
    impl->input = dynamic_cast<ChannelInput*>(&impl->pipe->get_input());
    impl->output = dynamic_cast<ChannelOutput*>(&impl->pipe->get_output());
    if (!impl->input || !impl->output) {
        impl->pipe->release();
        outcome.fail(errc::io_error, what + " has no channel streams");
        return nullptr;
    }
    // A new stream's first fetch waits out the request interval (100 ms)
    // before it asks for anything; a fetch with a time-out of 1 ms asks at
    // once, so the first block is taken now or waiting for the first read.
    impl->input->set_timeout(1);
    impl->input->call_next_block();
    impl->input->set_timeout(0);
    return impl;
}

}  // namespace

Pipe Connection::adopt(std::unique_ptr<Pipe::Impl> impl, int number) {
    Pipe p;
    if (impl) {
        p.impl_ = std::move(impl);
        p.number_ = number;
    }
    return p;
}

Pipe Connection::pipe(int number, const std::string& name) {
    detail::Outcome outcome;
    std::unique_ptr<Pipe::Impl> impl = open_pipe(state_, number, name, outcome);
    outcome.report(nullptr);
    return adopt(std::move(impl), number);
}

Pipe Connection::pipe(int number, const std::string& name, std::error_code& ec) {
    detail::Outcome outcome;
    std::unique_ptr<Pipe::Impl> impl = open_pipe(state_, number, name, outcome);
    outcome.report(&ec);
    return adopt(std::move(impl), number);
}

Pipe::Pipe() noexcept = default;
Pipe::~Pipe() { close(); }
Pipe::Pipe(Pipe&& other) noexcept : impl_(std::move(other.impl_)), number_(other.number_) {
    other.number_ = 0;
}

Pipe& Pipe::operator=(Pipe&& other) noexcept {
    if (this != &other) {
        close();
        impl_ = std::move(other.impl_);
        number_ = other.number_;
        other.number_ = 0;
    }
    return *this;
}

bool Pipe::is_open() const noexcept { return impl_ != nullptr; }

void Pipe::close() noexcept {
    if (!impl_) return;
    // The last reference ends the channels, which tells the device the stream
    // is over; then the connection's state may go, if this was its last user.
    impl_->pipe->release();
    impl_.reset();
    number_ = 0;
}

bool Pipe::at_end() const noexcept { return impl_ && impl_->input->is_eof(); }

namespace {

// The bodies of the stream calls; each public form reports `outcome` its way.

std::size_t write_pipe(Pipe::Impl* impl, const void* data, std::size_t size,
                       std::optional<std::chrono::milliseconds> timeout, detail::Outcome& outcome) {
    if (!impl) {
        outcome.fail(errc::invalid_argument, "the pipe is closed");
        return 0;
    }
    if (size > 0 && data == nullptr) {
        outcome.fail(errc::invalid_argument, "no data to write");
        return 0;
    }
    if (impl->refuse_if_closed(outcome, "writing to")) return 0;
    impl->output->set_timeout(classic_timeout(timeout));
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t taken = 0;
    while (taken < size) {
        const long chunk = static_cast<long>(std::min<std::size_t>(size - taken, 1U << 30));
        const long n = impl->output->write(bytes + taken, chunk);
        if (n > 0) taken += static_cast<std::size_t>(n);
        if (n != chunk) {
            impl->explain(outcome, "writing to");
            break;
        }
    }
    return taken;
}

void flush_pipe(Pipe::Impl* impl, std::optional<std::chrono::milliseconds> timeout,
                detail::Outcome& outcome) {
    if (!impl) {
        outcome.fail(errc::invalid_argument, "the pipe is closed");
        return;
    }
    if (impl->refuse_if_closed(outcome, "flushing")) return;
    impl->output->set_timeout(classic_timeout(timeout));
    if (!impl->output->flush()) impl->explain(outcome, "flushing");
}

std::size_t read_pipe(Pipe::Impl* impl, void* buffer, std::size_t size,
                      std::optional<std::chrono::milliseconds> timeout, detail::Outcome& outcome,
                      const std::function<bool()>* keep_waiting = nullptr) {
    if (!impl) {
        outcome.fail(errc::invalid_argument, "the pipe is closed");
        return 0;
    }
    if (size > 0 && buffer == nullptr) {
        outcome.fail(errc::invalid_argument, "no buffer to read into");
        return 0;
    }
    if (impl->refuse_if_closed(outcome, "reading from")) return 0;
    if (size == 0) return 0;
    ChannelInput& in = *impl->input;
    // No limit is not the classic time-out 0, which asks for every block
    // twice (see ChannelInput::set_unlimited_wait).
    in.set_unlimited_wait(!timeout);
    if (timeout) in.set_timeout(classic_timeout(timeout));
    // One byte, waiting for a block if need be; then the rest of the block in
    // hand, which needs no wait.
    in.set_interrupt_check(keep_waiting);
    const int first = in.read_byte();
    in.set_interrupt_check(nullptr);
    if (first < 0) {
        if (keep_waiting && in.interrupted())
            outcome.fail(errc::cancelled, "reading from pipe " + std::to_string(impl->pipe->get_num()));
        else if (!in.is_eof())
            impl->explain(outcome, "reading from");
        return 0;  // 0 with no failure: the end of the stream
    }
    auto* out = static_cast<unsigned char*>(buffer);
    out[0] = static_cast<unsigned char>(first);
    const long more =
        std::min<long>(in.available(), static_cast<long>(std::min<std::size_t>(size - 1, LONG_MAX)));
    const long got = more > 0 ? in.read(out + 1, more) : 0;
    return 1 + static_cast<std::size_t>(std::max<long>(got, 0));
}

}  // namespace

std::size_t Pipe::write(const void* data, std::size_t size,
                        std::optional<std::chrono::milliseconds> timeout) {
    detail::Outcome outcome;
    std::size_t n = write_pipe(impl_.get(), data, size, timeout, outcome);
    outcome.report(nullptr);
    return n;
}

std::size_t Pipe::write(const void* data, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                        std::error_code& ec) {
    detail::Outcome outcome;
    std::size_t n = write_pipe(impl_.get(), data, size, timeout, outcome);
    outcome.report(&ec);
    return n;
}

void Pipe::flush(std::optional<std::chrono::milliseconds> timeout) {
    detail::Outcome outcome;
    flush_pipe(impl_.get(), timeout, outcome);
    outcome.report(nullptr);
}

void Pipe::flush(std::optional<std::chrono::milliseconds> timeout, std::error_code& ec) {
    detail::Outcome outcome;
    flush_pipe(impl_.get(), timeout, outcome);
    outcome.report(&ec);
}

std::size_t Pipe::read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> timeout) {
    detail::Outcome outcome;
    std::size_t n = read_pipe(impl_.get(), buffer, size, timeout, outcome);
    outcome.report(nullptr);
    return n;
}

std::size_t Pipe::read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                       std::error_code& ec) {
    detail::Outcome outcome;
    std::size_t n = read_pipe(impl_.get(), buffer, size, timeout, outcome);
    outcome.report(&ec);
    return n;
}

std::size_t Pipe::read(void* buffer, std::size_t size, std::optional<std::chrono::milliseconds> timeout,
                       const std::function<bool()>& keep_waiting, std::error_code& ec) {
    detail::Outcome outcome;
    std::size_t n =
        read_pipe(impl_.get(), buffer, size, timeout, outcome, keep_waiting ? &keep_waiting : nullptr);
    outcome.report(&ec);
    return n;
}

}  // namespace zorbel
