#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "console.h"

namespace zorbel_tool {

void prepare_standard_streams() {}  // bytes are bytes here

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

void route_end_requests(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGHUP, handler);  // the terminal went away: end as cleanly
    std::signal(SIGPIPE, SIG_IGN);
}

bool reader_went_away() { return errno == EPIPE; }

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

long write_available(int fd, const unsigned char* buf, std::size_t count) {
    pollfd ready{fd, POLLOUT, 0};
    const int r = ::poll(&ready, 1, 100);
    if (r == 0 || (r < 0 && errno == EINTR)) return kNothingYet;
    // A pipe that says it has room takes PIPE_BUF bytes at once; more could
    // wait for its reader inside write(), where a signal is not seen.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) && count > PIPE_BUF) count = PIPE_BUF;
    const ssize_t n = ::write(fd, buf, count);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return kNothingYet;
    return static_cast<long>(n);
}

bool reader_gone(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
    // The writing end of a pipe without a reader polls as an error.
    pollfd ready{fd, 0, 0};
    return ::poll(&ready, 1, 0) > 0 && (ready.revents & (POLLERR | POLLHUP)) != 0;
}

}  // namespace zorbel_tool
