// A running connection to one device and the pipes made on it, as scoped
// objects: whatever way a command ends, its pipes are released and the
// device is stopped and given back.
#ifndef ZORBEL_TOOL_CONNECTION_H
#define ZORBEL_TOOL_CONNECTION_H

#include <string>

#include <zorbel/zorbel.h>

#include "bus.h"

namespace zorbel_tool {

class Connection {
public:
    // Starts device `number`; a Failure says why when it cannot.
    Connection(Bus& bus, int number);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ChanIOControl& control() { return connection_.classic(); }
    const DeviceEntry& device() const { return device_; }
    Bus& bus() { return bus_; }
    // The transport gave up on the device: it went away and did not come back.
    bool lost();
    // "device 1": how messages name it.
    std::string name() const;

private:
    Bus& bus_;
    DeviceEntry device_;
    // Its classic pipes (class Pipe below) go before it: the classic
    // connection wants every pipe released before it is destroyed.
    zorbel::Connection connection_;
};

// One pipe of a connection, released when the object goes. Releasing a
// channel pipe tells the device that the stream has ended.
class Pipe {
public:
    Pipe(Connection& connection, int number);
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    Input& input() { return pipe_->get_input(); }
    Output& output() { return pipe_->get_output(); }
    int number() const { return number_; }
    Connection& connection() { return connection_; }
    // Releases now; the destructor then does nothing.
    void release();

private:
    Connection& connection_;
    int number_;
    XPipe* pipe_;
};

// Refuses a pipe number outside 1..125 with a usage failure.
void check_pipe_number(int pipe);

}  // namespace zorbel_tool

#endif
