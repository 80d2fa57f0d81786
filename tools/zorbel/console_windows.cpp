#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <csignal>

#include "console.h"

namespace zorbel_tool {

namespace {

void (*end_handler)(int) = nullptr;

// Closing the console window, logging off or shutting down: asked to end, as
// SIGHUP asks on a terminal. The system ends the process once this returns,
// so it only notes the request; the transfer loop then stops within a block.
BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (end_handler) end_handler(SIGTERM);
        ::Sleep(2000);  // time for the transfer loop to give the device back
        return TRUE;
    }
    return FALSE;  // Ctrl-C and Ctrl-Break go to the signal handlers below
}

}  // namespace

void prepare_standard_streams() {
    ::_setmode(0, _O_BINARY);
    ::_setmode(1, _O_BINARY);
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error != INVALID_HANDLE_VALUE && ::GetConsoleMode(error, &mode))
        ::SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool is_terminal(int fd) { return ::_isatty(fd) != 0; }

void route_end_requests(void (*handler)(int)) {
    end_handler = handler;
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    // Windows has no SIGPIPE: a write to a closed pipe fails with EPIPE.
}

// The C library reports a closed pipe as EPIPE, or as EINVAL for a pipe that
// is being closed or no longer connected; the system's own code tells.
bool reader_went_away() {
    const DWORD error = ::GetLastError();
    return errno == EPIPE || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// The status a POSIX shell shows for a program ended by SIGPIPE, so that
// scripts read the same status on both systems.
int broken_pipe_status() { return 141; }

// A pipe says how much it holds without blocking, so a Ctrl-C is seen while
// it is empty; anything else (a file, or a console, whose read returns a line
// at a time and ends at Ctrl-C) is read directly, and so is a pipe that
// cannot say (Wine's view of a Unix pipe), where the read's end is waited for.
long read_available(int fd, unsigned char* buf, std::size_t cap) {
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
            if (available == 0) {
                ::Sleep(10);
                return kNothingYet;
            }
        } else if (::GetLastError() == ERROR_BROKEN_PIPE) {
            return 0;  // the writer is done and everything was read
        }
    }
    const unsigned int count = cap > INT_MAX ? INT_MAX : static_cast<unsigned int>(cap);
    const int n = ::_read(fd, buf, count);
    return n;
}

long write_available(int fd, const unsigned char* buf, std::size_t count) {
    const unsigned int n = count > INT_MAX ? INT_MAX : static_cast<unsigned int>(count);
    return ::_write(fd, buf, n);
}

// A pipe's end tells whether the other end is still there.
bool reader_gone(int fd) {
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_PIPE) return false;
    DWORD available = 0;
    return !::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) &&
           ::GetLastError() == ERROR_BROKEN_PIPE;
}

}  // namespace zorbel_tool
