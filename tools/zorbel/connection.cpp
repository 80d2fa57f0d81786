#include "connection.h"

#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "failure.h"

namespace zorbel_tool {

Connection::Connection(Bus& bus, int number) : bus_(bus), device_(bus.device(number)) {
    if (device_.boot_mode)
        throw Failure(
            fmt::format("device {} is in boot mode, and a connection needs normal mode: "
                        "boot it first with 'zorbel boot {} IMAGE'",
                        number, number));
    control_ = std::make_unique<ChanIOControl>();
    auto began = std::chrono::steady_clock::now();
    if (control_->start(number)) return;
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    control_.reset();

    // start() says only yes or no. A claim held elsewhere is refused at once,
    // before any attempt to open; a device that does not open is refused only
    // after the transport's open attempts, which take far longer.
    char id[8] = {};
    if (Get_Zorbel_State(number) != 2 || !Get_Zorbel_ID(number, id))
        throw Failure(fmt::format(
            "device {} went away while connecting; check the cable and run 'zorbel list'", number));
    double open_window = USBSeqDriver::open_retries.load() * USBSeqDriver::open_retry_pause.load() / 1000.0;
    if (took < open_window / 2 && device_.id == id)
        throw Failure(
            fmt::format("device {} (ID {}) is in use by another program; stop that program and try again",
                        number, device_.id));
    throw Failure(
        fmt::format("device {} could not be opened; unplug it, plug it in again and retry", number));
}

Connection::~Connection() {
    if (control_) control_->stop();
}

bool Connection::lost() {
    BlockDriver* engine = control_->get_block_driver();
    return !engine || engine->is_finished();
}

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
}

Pipe::~Pipe() { release(); }

void Pipe::release() {
    if (pipe_) pipe_->release();
    pipe_ = nullptr;
}

}  // namespace zorbel_tool
