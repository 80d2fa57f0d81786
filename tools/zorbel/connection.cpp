#include "connection.h"

#include <fmt/format.h>

#include "failure.h"

namespace zorbel_tool {

Connection::Connection(Bus& bus, int number) : bus_(bus) {
    // One look at the bus serves both the choice and the start; the device
    // as it was then comes back with the connection.
    try {
        connection_ = zorbel::connect(number);
    } catch (const zorbel::Error& e) {
        if (e.code() == zorbel::errc::wrong_mode)
            throw Failure(fmt::format("device {} is in boot mode, and a connection needs normal mode: "
                                      "boot it first with 'zorbel boot {} IMAGE'",
                                      number, number),
                          kExitFailed, "wrong_mode");
        if (e.code() == zorbel::errc::busy) {
            std::error_code ec;
            const std::string id = zorbel::find_device(number, ec).id;
            throw Failure(
                fmt::format("device {} (ID {}) is in use by another program; stop that program and try again",
                            number, id),
                kExitFailed, "busy");
        }
        fail_with(e, number);
    }
    device_ = entry_of(connection_.device());
}

Connection::~Connection() = default;

bool Connection::lost() { return connection_.lost(); }

std::string Connection::name() const { return fmt::format("device {}", device_.number); }

void check_pipe_number(int pipe) {
    if (pipe < 1 || pipe > 125)
        throw Failure(fmt::format("pipe {} is out of range: pipe numbers run from 1 to 125", pipe),
                      kExitUsage);
}

Pipe::Pipe(Connection& connection, int number) : connection_(connection), number_(number), pipe_(nullptr) {
    check_pipe_number(number);
    XPipeFactory* factory = connection.control().get_pipe_factory();
    if (factory) pipe_ = factory->new_pipe(nullptr, static_cast<unsigned long>(number), 0);
    if (!pipe_) throw Failure(fmt::format("pipe {} of {} could not be made", number, connection.name()));
    // A new stream's first fetch waits out the request interval (100 ms)
    // before it asks for anything, which made every transfer, even of one
    // byte, last at least that long. A fetch with a time-out of 1 ms asks at
    // once; the block it asked for is then taken by the first read, or is
    // waiting for it.
    if (auto* in = dynamic_cast<ChannelInput*>(&pipe_->get_input())) {
        const long timeout = in->get_timeout();
        in->set_timeout(1);
        in->call_next_block();
        in->set_timeout(timeout);
    }
}

Pipe::~Pipe() { release(); }

void Pipe::release() {
    if (pipe_) pipe_->release();
    pipe_ = nullptr;
}

}  // namespace zorbel_tool
