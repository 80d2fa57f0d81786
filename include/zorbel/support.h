// Support: synchronisation and time primitives shared by every part of the
// library, and the command-line parser offered to client programs.
#ifndef ZORBEL_SUPPORT_H
#define ZORBEL_SUPPORT_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "zorbel/export.h"

// The classic interface keeps the names that client programs written against
// it use, so the internal code's naming rule does not apply from here on.
// NOLINTBEGIN(readability-identifier-naming)

// The library's version text, as client programs have always read it.
extern ZORBEL_API const char* dll_ver;

// A manual-reset event: once set it stays set, and one set releases every
// waiter, until some thread clears it. It is the only wake-up between the
// thread that delivers incoming blocks and the stream that waits for them.
// Whatever a thread writes before set(true) is seen by a thread that then
// finds the flag set (is_set or a wait).
//
// Thread-safety: every operation may be called from any thread.
class ZORBEL_API Flag {
public:
    Flag();
    ~Flag();                     // NOLINT(performance-trivially-destructible): exported out of line
    Flag(const Flag&) = delete;  // threads may be asleep on its address
    Flag& operator=(const Flag&) = delete;

    void set(bool on);
    void clear();
    // Polls without waiting.
    bool is_set();
    // One uninterrupted wait of up to `ms` milliseconds; 0 means no limit.
    bool sys_wait_set(unsigned long ms);
    // The sliced wait the library uses: slices of at most 500 ms, checking the
    // process-wide shutdown switch before each. `ms` of 0 or of 0x80000000 and
    // above returns false at once, even when the flag is set.
    bool wait_set(unsigned long ms);

private:
    // 1 while set. A waiter sleeps on this word with a relative time-out that
    // the system keeps, so waiting reads no clock.
    std::atomic<int> state_{0};
    // Threads inside a wait: set() makes its wake-up call only when there is
    // one to wake.
    std::atomic<int> waiters_{0};
};

// A lock with the semantics of the mutex the library was designed around:
// recursive, unnamed whatever name it is given.
class ZORBEL_API MutexCounter {
public:
    explicit MutexCounter(char* name = nullptr);
    ~MutexCounter();  // NOLINT(performance-trivially-destructible): exported out of line
    MutexCounter(const MutexCounter&) = delete;
    MutexCounter& operator=(const MutexCounter&) = delete;

    void lock();
    void unlock();

private:
    std::recursive_mutex mutex_;
};

// The process-wide shutdown switch. Once a client calls finish(), every
// sliced wait in the process fails within one slice and stays failing.
class ZORBEL_API Synchro {
public:
    static bool finish();
    static bool is_finished();

    static std::atomic<bool> _finished;
};

// One process-wide recursive lock shared by the channel table, the delivery
// of commands into channels, the output stream's look at its queue and every
// pipe-table operation. Lock order where two are held: a block engine's
// receive locks first, then this one.
extern ZORBEL_API std::recursive_mutex protocol_critical;

// Enters protocol_critical; always returns 0 (the token for the leave).
ZORBEL_API int proc_enter_critical();
ZORBEL_API void proc_leave_critical(int token);

// Scoped form of proc_enter_critical / proc_leave_critical.
class ZORBEL_API Critical {
public:
    Critical();
    ~Critical();
    Critical(const Critical&) = delete;
    Critical& operator=(const Critical&) = delete;

private:
    int token;
};

// Kept for client programs written against the original interface; always 0.
ZORBEL_API unsigned long clock_sec();

// ---------------------------------------------------------------------------
// Command-line parser

// Default character sets for parsers constructed afterwards: word separators,
// modifier prefixes and modifier suffixes.
extern ZORBEL_API char* separator_chars;
extern ZORBEL_API char* mod_prefix;
extern ZORBEL_API char* mod_suffix;

// Splits one line into a command (the first word), modifiers ("$name=value")
// and parameters (the remaining words). Every getter copies its token,
// zero-terminated, into `out` (which must hold the line's length plus one) and
// returns its length; 0 means there is no such token.
class ZORBEL_API XParser {
public:
    XParser(char* line = nullptr, char* separators = separator_chars, char* prefix = mod_prefix,
            char* suffix = mod_suffix);
    ~XParser();
    XParser(const XParser& other);             // deep copy
    XParser& operator=(const XParser& other);  // deep copy

    unsigned int set_line(char* s);
    unsigned int get_command(char* out);
    unsigned int get_first_modifier(char* out);
    unsigned int get_next_modifier(char* out);
    unsigned int get_mod_value(char* out);
    unsigned int get_first_param(char* out);
    unsigned int get_next_param(char* out);
    unsigned int delete_modifiers(char* out);

private:
    unsigned int skip(const char* s, const char* set, bool in_set, char* out);
    unsigned int next_param(char* out);
    unsigned int peek_param_length();

    char* line = nullptr;
    char* separators = nullptr;
    char* prefix = nullptr;
    char* suffix = nullptr;
    char* mod_cursor = nullptr;
    char* param_cursor = nullptr;
};

// NOLINTEND(readability-identifier-naming)

#endif
