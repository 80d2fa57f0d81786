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

void use_binary_standard_streams() {
    ::_setmode(0, _O_BINARY);
    ::_setmode(1, _O_BINARY);
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

// The status a POSIX shell shows for a program ended by SIGPIPE, so that
// scripts read the same status on both systems.
int broken_pipe_status() { return 141; }

// A pipe says how much it holds without blocking; anything else (a file, or a
// console, whose read returns a line at a time) is read directly.
long read_available(int fd, unsigned char* buf, std::size_t cap) {
    HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        if (!::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
            if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;  // the writer is done
            errno = EIO;
            return -1;
        }
        if (available == 0) {
            ::Sleep(10);
            return kNothingYet;
        }
    }
    const unsigned int count = cap > INT_MAX ? INT_MAX : static_cast<unsigned int>(cap);
    const int n = ::_read(fd, buf, count);
    return n;
}

}  // namespace zorbel_tool
