// What the tool needs of the system's terminals, signals and standard streams,
// with one file per platform (console_posix.cpp, console_windows.cpp).
#ifndef ZORBEL_TOOL_CONSOLE_H
#define ZORBEL_TOOL_CONSOLE_H

#include <cstddef>

namespace zorbel_tool {

// Makes standard input and output carry bytes as they are (Windows would
// otherwise turn line ends and stop at a Ctrl-Z), and a console on standard
// error understand the escape sequences that redraw the progress line; call
// before any I/O.
void prepare_standard_streams();

// Whether the descriptor (0 standard input, 1 output, 2 error) is a terminal.
bool is_terminal(int fd);

// Sends every request to end the program (Ctrl-C, a polite kill, the terminal
// going away) to `handler`, with the signal's number; a closed output pipe
// becomes a failed write instead of ending the program.
void route_end_requests(void (*handler)(int signal));

// Whether the write that just failed went to a pipe whose reader went away
// (recv ... | head), and the exit status for that, as a program that the
// system ended for it would have.
bool reader_went_away();
int broken_pipe_status();

// Reads what `fd` has, up to `cap` bytes, waiting at most about 100 ms for
// the first: the count (0 at the end of the input), kNothingYet when nothing
// came in that time (the caller looks whether it should stop, and asks
// again), or -1 with errno set.
constexpr long kNothingYet = -2;
long read_available(int fd, unsigned char* buf, std::size_t cap);

// Writes some of `count` bytes to `fd`, waiting at most about 100 ms for
// room: the count written, kNothingYet when there was no room in that time
// (the caller looks whether it should stop, and tries again), or -1 with
// errno set. A pipe is given no more than it takes without waiting, so that
// a reader that stops reading cannot keep the tool from seeing a Ctrl-C.
long write_available(int fd, const unsigned char* buf, std::size_t count);

// Whether `fd` is a pipe whose reader has gone (watch | head): noticed
// without writing, for a program that may have nothing to write for a long
// time.
bool reader_gone(int fd);

}  // namespace zorbel_tool

#endif
