// A client of the library in a few lines: connect to a device, make a pipe,
// write, read the answer, release the pipe, stop.
//
// It talks to an emulated device (one device in normal mode, its echo
// program on pipe 1), so it runs anywhere; drop the three bus lines and the
// same code drives a real device. The tests build and run it, so it stays
// true to the library.
#include <cstdio>
#include <cstring>

#include <zorbel/zorbel.h>

int main() {
    zorbel::EmulatedBus bus;  // while it lives, it is this process's USB
    zorbel::EmulatedDevice device = bus.add_device(bus.add_controller(), 1);
    device.bind(1, zorbel::echo_program());

    ChanIOControl connection;
    if (!connection.start(0)) {  // device number 0
        std::fprintf(stderr, "echo_client: cannot start device 0\n");
        return 1;
    }

    XPipe* pipe = connection.get_pipe_factory()->new_pipe(const_cast<char*>("echo"), 1, 0);
    if (!pipe) {
        std::fprintf(stderr, "echo_client: cannot make pipe 1\n");
        connection.stop();
        return 1;
    }

    // Bytes collect in the channel's buffer and leave when it is flushed; the
    // flush returns once the device has confirmed them.
    const char message[] = "hello, device";
    auto& out = dynamic_cast<ChannelOutput&>(pipe->get_output());
    bool sent =
        out.write(reinterpret_cast<const unsigned char*>(message), sizeof message) == sizeof message &&
        out.flush();

    // A read waits for the device's blocks; the time-out bounds each wait.
    char answer[sizeof message] = {};
    Input& in = pipe->get_input();
    in.set_timeout(2000);
    long got = 0;
    while (sent && got < static_cast<long>(sizeof answer)) {
        long n = in.read(reinterpret_cast<unsigned char*>(answer) + got, sizeof answer - got);
        if (n <= 0) break;
        got += n;
    }

    pipe->release();  // the last reference: the pipe and its channels go
    connection.stop();

    if (!sent || got != static_cast<long>(sizeof answer) ||
        std::memcmp(answer, message, sizeof message) != 0) {
        std::fprintf(stderr, "echo_client: the echo did not come back whole\n");
        return 1;
    }
    std::printf("device answered: %s\n", answer);
    return 0;
}
