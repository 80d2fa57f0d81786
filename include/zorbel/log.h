// What the library did, for the people debugging a program that uses it.
//
// The protocol recovers from a lot on its own: a device that went away and
// came back, a read that had to be retried, a chunk the receiver could not
// take yet. A program sees none of that through its calls, which is what it
// wants until something is slow or stuck. The log tells that story:
// reconnections, retries, refused chunks, stalls and claims, each with the
// device's hardware ID where one is known.
//
// Nothing is logged by default. The environment variable ZORBEL_DEBUG (error,
// warning, info or debug) turns on a handler that writes one line a message to
// standard error; set_log_handler replaces it from the program. When the log
// is off, a place that would log costs one relaxed atomic load.
//
// Beside it, ZORBEL_CAPTURE=FILE records every USB transfer of the process's
// connections to FILE, a pcapng capture for Wireshark and tshark (see
// Connection::capture in zorbel/client.h and README "Seeing the wire").
#ifndef ZORBEL_LOG_H
#define ZORBEL_LOG_H

#include <functional>
#include <string>

#include "zorbel/export.h"

namespace zorbel {

// The severity of a message, most severe first.
enum class LogLevel { error = 0, warning = 1, info = 2, debug = 3 };

// Receives one message. Called on whichever thread did the work, possibly
// with library locks held: it must return promptly and must not call back into
// the library. Handlers may run concurrently on several threads.
using LogHandler = std::function<void(LogLevel level, const std::string& message)>;

// Sends every message at `level` or more severe to `handler`; an empty handler
// turns the log off. Replaces the handler ZORBEL_DEBUG installed, if any. Safe
// from any thread except from inside a handler. Returns once no thread is
// running the old handler any more, so what it captured may be destroyed then.
ZORBEL_API void set_log_handler(LogLevel level, LogHandler handler);

// The name of a level as ZORBEL_DEBUG spells it ("error", "warning", ...).
ZORBEL_API const char* log_level_name(LogLevel level);

}  // namespace zorbel

#endif
