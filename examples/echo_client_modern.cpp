// echo_client.cpp again, on the modern interface: the device named by its
// hardware ID, the connection and the pipe given back by their destructors,
// and a failure that says why. The tests build and run it too.
#include <chrono>
#include <cstdio>
#include <cstring>

#include <zorbel/zorbel.h>

int main() try {
    zorbel::EmulatedBus bus;  // while it lives, it is this process's USB
    bus.add_device(bus.add_controller(), 1).bind(1, zorbel::echo_program());

    zorbel::Connection connection = zorbel::connect("ZB0000000001");
    zorbel::Pipe pipe = connection.pipe(1, "echo");
    const char message[] = "hello, device";
    pipe.write(message, sizeof message);
    pipe.flush();  // returns once the device has confirmed the block

    char answer[sizeof message] = {};
    for (std::size_t got = 0, n = 1; got < sizeof answer && n > 0; got += n)
        n = pipe.read(answer + got, sizeof answer - got, std::chrono::seconds(2));
    std::printf("device answered: %s\n", answer);
    return std::memcmp(answer, message, sizeof message) == 0 ? 0 : 1;
} catch (const zorbel::Error& e) {
    std::fprintf(stderr, "echo_client_modern: %s\n", e.what());
    return 1;
}
