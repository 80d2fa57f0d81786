#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "console.h"

namespace zorbel_tool {

void use_binary_standard_streams() {}  // bytes are bytes here

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

void route_end_requests(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGHUP, handler);  // the terminal went away: end as cleanly
    std::signal(SIGPIPE, SIG_IGN);
}

int broken_pipe_status() { return 128 + SIGPIPE; }

// A plain read(), not stdio's: stdio would wait to fill the whole buffer, so
// a line typed on a terminal would leave only with the next one and the end
// of input would take a second Ctrl-D. The wait polls, so that a signal ends
// it even where the read itself would be restarted.
long read_available(int fd, unsigned char* buf, std::size_t cap) {
    pollfd ready{fd, POLLIN, 0};
    const int r = ::poll(&ready, 1, 100);
    if (r == 0 || (r < 0 && errno == EINTR)) return kNothingYet;
    const ssize_t n = ::read(fd, buf, cap);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return kNothingYet;
    return static_cast<long>(n);
}

}  // namespace zorbel_tool
