#include "support/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "support/mutex.h"

namespace zorbel {
namespace {

// The most verbose level a handler takes; below error means off. The value
// before the environment has been read is kUnread.
constexpr int kOff = -1;
constexpr int kUnread = -2;
std::atomic<int> g_threshold{kUnread};

// The handler is shared so that a delivery in progress keeps the one it
// started with alive while another thread installs a new one.
detail::Mutex g_handler_mutex;
std::shared_ptr<const LogHandler> g_handler GUARDED_BY(g_handler_mutex);
std::once_flag g_environment_read;

void write_to_stderr(LogLevel level, const std::string& message) {
    // One fprintf a line: stdio locks the stream for each call, so lines from
    // several threads do not interleave.
    std::fprintf(stderr, "zorbel: %s: %s\n", log_level_name(level), message.c_str());
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
    // Any other non-empty value ("1", "yes") asks for everything.
    return static_cast<int>(LogLevel::debug);
}

void read_environment() {
    std::call_once(g_environment_read, [] {
        const int level = level_from_environment();
        detail::MutexLock lock(g_handler_mutex);
        // A handler the program set before the first message wins.
        int expected = kUnread;
        if (level != kOff) {
            g_handler = std::make_shared<const LogHandler>(write_to_stderr);
        }
        g_threshold.compare_exchange_strong(expected, level);
    });
}

}  // namespace

void set_log_handler(LogLevel level, LogHandler handler) {
    // Read the environment first so that it never overrides this call later.
    read_environment();
    detail::MutexLock lock(g_handler_mutex);
    if (handler) {
        g_handler = std::make_shared<const LogHandler>(std::move(handler));
        g_threshold.store(static_cast<int>(level), std::memory_order_relaxed);
    } else {
        g_threshold.store(kOff, std::memory_order_relaxed);
        g_handler.reset();
    }
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

void log_write(LogLevel level, const std::string& message) {
    std::shared_ptr<const LogHandler> handler;
    {
        MutexLock lock(g_handler_mutex);
        handler = g_handler;
    }
    if (handler && static_cast<int>(level) <= g_threshold.load(std::memory_order_relaxed)) {
        (*handler)(level, message);
    }
}

}  // namespace detail
}  // namespace zorbel
