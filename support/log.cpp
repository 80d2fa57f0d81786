#include "support/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace zorbel {
namespace {

// The most verbose level a handler takes; below error means off. The value
// before the environment has been read is kUnread.
constexpr int kOff = -1;
constexpr int kUnread = -2;
std::atomic<int> g_threshold{kUnread};

// Deliveries hold the lock shared for as long as the handler runs, and a
// change holds it exclusively: once set_log_handler returns, nothing runs the
// old handler any more, so a program may destroy what it captured. (A
// standard shared mutex: the analysis has no annotated one to offer, and
// these three functions are all that touch it.)
std::shared_mutex g_handler_lock;
LogHandler g_handler;
std::once_flag g_environment_read;

void write_to_stderr(LogLevel level, const std::string& message) {
    // One fprintf a line: stdio locks the stream for each call, so lines from
    // several threads do not interleave.
    std::fprintf(stderr, "zorbel: %s: %s\n", log_level_name(level), message.c_str());
}

bool strcasecmp_ascii(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        if (x != *b) return false;
    }
    return *a == *b;
}

int level_from_environment() {
    const char* value = std::getenv("ZORBEL_DEBUG");
    if (value == nullptr || *value == '\0') {
        return kOff;
    }
    for (LogLevel level : {LogLevel::error, LogLevel::warning, LogLevel::info, LogLevel::debug}) {
        if (std::strcmp(value, log_level_name(level)) == 0) {
            return static_cast<int>(level);
        }
    }
    // The usual ways of saying no turn it off rather than on.
    for (const char* off : {"0", "off", "no", "false", "none"}) {
        if (strcasecmp_ascii(value, off)) return kOff;
    }
    // Any other non-empty value ("1", "yes") asks for everything.
    return static_cast<int>(LogLevel::debug);
}

void read_environment() {
    std::call_once(g_environment_read, [] {
        const int level = level_from_environment();
        std::unique_lock<std::shared_mutex> lock(g_handler_lock);
        if (level != kOff) g_handler = write_to_stderr;
        g_threshold.store(level, std::memory_order_relaxed);
    });
}

}  // namespace

void set_log_handler(LogLevel level, LogHandler handler) {
    // Read the environment first so that it never overrides this call later.
    read_environment();
    std::unique_lock<std::shared_mutex> lock(g_handler_lock);
    g_threshold.store(handler ? static_cast<int>(level) : kOff, std::memory_order_relaxed);
    g_handler = std::move(handler);
}

const char* log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "unknown";
}

namespace detail {

bool log_enabled(LogLevel level) noexcept {
    int threshold = g_threshold.load(std::memory_order_relaxed);
    if (threshold == kUnread) {
        try {
            read_environment();
        } catch (...) {
            return false;  // out of memory for the handler: stay quiet
        }
        threshold = g_threshold.load(std::memory_order_relaxed);
    }
    return static_cast<int>(level) <= threshold;
}

bool LogRateLimit::allow() noexcept {
    events_.fetch_add(1, std::memory_order_relaxed);
    const auto now = static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   std::chrono::steady_clock::now().time_since_epoch())
                                                   .count());
    std::int64_t last = last_line_ms_.load(std::memory_order_relaxed);
    if (last >= 0 && now - last < 1000) return false;
    // One thread of several that get here at once writes the line.
    return last_line_ms_.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void log_write(LogLevel level, const std::string& message) {
    std::shared_lock<std::shared_mutex> lock(g_handler_lock);
    if (g_handler && static_cast<int>(level) <= g_threshold.load(std::memory_order_relaxed)) {
        g_handler(level, message);
    }
}

}  // namespace detail
}  // namespace zorbel
