// What the portable code needs to know of the process and its threads, with
// one implementation per platform (platform_process_posix.cpp, and a file
// named for each further platform).
#ifndef ZORBEL_SUPPORT_PLATFORM_PROCESS_H
#define ZORBEL_SUPPORT_PLATFORM_PROCESS_H

namespace zorbel {
namespace detail {

// This process's ID, as the system's tools show it.
unsigned long process_id();

// Names the calling thread for debuggers, profilers and benchmarks (at most
// 15 characters are kept); does nothing where the platform cannot.
void name_this_thread(const char* name);

// Asks that the calling thread's timed waits end as close to their deadline
// as the system can manage. By default Linux may let such a wait run up to
// 50 us late to group wake-ups, which on a link whose delay stands for one
// 125 us USB microframe is a large part of the delay itself. Does nothing
// where the platform has no such setting.
void keep_exact_time_on_this_thread();

// Asks the system to keep timed waits to the millisecond, for as long as a
// connection lives: Windows otherwise ends them on its 15.6 ms tick, which
// would stretch the 10 ms stop time-outs and every short poll. The system
// counts these requests per process, so each begin needs its end. Nothing to
// do where timers are fine by default (Linux).
void begin_fine_timer_resolution();
void end_fine_timer_resolution();

}  // namespace detail
}  // namespace zorbel

#endif
