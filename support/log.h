// The library's side of the log (include/zorbel/log.h): how code reports.
//
//   ZORBEL_LOG(LogLevel::info, "reconnected to " << hardware_id);
//
// The message is built with a string stream only when its level is enabled,
// so the arguments are not evaluated at all when the log is off. The second
// argument is a chain of << operands, so the macro cannot parenthesise it.
#ifndef ZORBEL_SUPPORT_LOG_H
#define ZORBEL_SUPPORT_LOG_H

#include <sstream>
#include <string>

#include "zorbel/log.h"

namespace zorbel {
namespace detail {

// Whether a message at `level` would reach a handler: one relaxed load once
// the environment has been read (the first call reads it).
bool log_enabled(LogLevel level) noexcept;

// Hands `message` to the handler, if one still takes `level`.
void log_write(LogLevel level, const std::string& message);

}  // namespace detail
}  // namespace zorbel

#define ZORBEL_LOG(level, stream_expression)                                                 \
    do {                                                                                     \
        if (::zorbel::detail::log_enabled(level)) {                                          \
            std::ostringstream zorbel_log_stream;                                            \
            zorbel_log_stream << stream_expression; /* NOLINT(bugprone-macro-parentheses) */ \
            ::zorbel::detail::log_write((level), zorbel_log_stream.str());                   \
        }                                                                                    \
    } while (false)

#endif
