// The library's side of the log (include/zorbel/log.h): how code reports.
//
//   ZORBEL_LOG(LogLevel::info, "reconnected to " << hardware_id);
//
// The message is built with a string stream only when its level is enabled,
// so the arguments are not evaluated at all when the log is off. The second
// argument is a chain of << operands, so the macro cannot parenthesise it.
#ifndef ZORBEL_SUPPORT_LOG_H
#define ZORBEL_SUPPORT_LOG_H

#include <atomic>
#include <cstdint>
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

// For a place that a bad link makes log thousands of times a second (a
// dropped block, a repeated request): lets a line through at most once a
// second, and counts every event, so the line can say how many there were.
class LogRateLimit {
public:
    // Counts one event; true when a line may go out now.
    bool allow() noexcept;
    // The events counted so far.
    unsigned long events() const noexcept { return events_.load(std::memory_order_relaxed); }

private:
    std::atomic<unsigned long> events_{0};
    std::atomic<std::int64_t> last_line_ms_{-1};
};

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

// ZORBEL_LOG, at most once a second from this place; `zorbel_log_events`
// in the message is how many times the place was reached while the log was on.
#define ZORBEL_LOG_LIMITED(level, stream_expression)                                             \
    do {                                                                                         \
        if (::zorbel::detail::log_enabled(level)) {                                              \
            static ::zorbel::detail::LogRateLimit zorbel_log_limit;                              \
            if (zorbel_log_limit.allow()) {                                                      \
                const unsigned long zorbel_log_events = zorbel_log_limit.events();               \
                static_cast<void>(zorbel_log_events);                                            \
                std::ostringstream zorbel_log_stream;                                            \
                zorbel_log_stream << stream_expression; /* NOLINT(bugprone-macro-parentheses) */ \
                ::zorbel::detail::log_write((level), zorbel_log_stream.str());                   \
            }                                                                                    \
        }                                                                                        \
    } while (false)

#endif
