#include "output.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "console.h"
#include "failure.h"

namespace zorbel_tool {

std::string human_bytes(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    return u == 0 ? fmt::format("{:.0f} B", bytes) : fmt::format("{:.1f} {}", bytes, kUnits[u]);
}

std::string human_rate(double bytes_per_s) {
    if (bytes_per_s >= 1e9) return fmt::format("{:.2f} GB/s", bytes_per_s / 1e9);
    if (bytes_per_s >= 1e6) return fmt::format("{:.1f} MB/s", bytes_per_s / 1e6);
    if (bytes_per_s >= 1e3) return fmt::format("{:.1f} kB/s", bytes_per_s / 1e3);
    return fmt::format("{:.0f} B/s", bytes_per_s);
}

std::string human_duration(double seconds) {
    if (seconds < 0) seconds = 0;
    auto s = static_cast<unsigned long long>(std::llround(seconds));
    if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
    return fmt::format("{}:{:02}", s / 60, s % 60);
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F)
                    out += fmt::format("\\u{:04x}",
                                       c);  // device text is ASCII; anything else is shown, not passed raw
                else
                    out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool progress_wanted() { return is_terminal(2); }

namespace {
std::atomic<int> interrupt_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void on_interrupt(int signal) { interrupt_signal.store(signal); }
}  // namespace

void install_interrupt_handler() { route_end_requests(on_interrupt); }

bool interrupted() { return interrupt_signal.load() != 0; }

int interrupted_status() {
    const int signal = interrupt_signal.load();
    return signal == 0 ? kExitInterrupted : 128 + signal;
}

Progress::Progress(std::string label, std::uint64_t total, bool enabled, Kind kind)
    : label_(std::move(label)),
      total_(total),
      enabled_(enabled),
      kind_(kind),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() { finish(); }

double Progress::elapsed_seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::update(std::uint64_t done) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    draw(done);
}

void Progress::draw(std::uint64_t done) {
    double seconds = elapsed_seconds();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string line;
    if (kind_ == Kind::wait) {
        line = fmt::format("{} {}", label_, human_duration(seconds));
    } else if (total_ > 0) {
        constexpr int kWidth = 24;
        double part = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
        int filled = static_cast<int>(part * kWidth);
        // A rate from the first moments (a pipe being made, a first block)
        // would promise hours; the time left waits for a second of data.
        std::string left = rate > 0 && seconds >= 1.0
                               ? human_duration(static_cast<double>(total_ - std::min(done, total_)) / rate)
                               : "-:--";
        line =
            fmt::format("{} [{}{}] {:3.0f}% {} of {}  {}  {} left", label_, std::string(filled, '#'),
                        std::string(kWidth - filled, ' '), part * 100, human_bytes(static_cast<double>(done)),
                        human_bytes(static_cast<double>(total_)), human_rate(rate), left);
    } else {
        line = fmt::format("{} {}  {}  {}", label_, human_bytes(static_cast<double>(done)), human_rate(rate),
                           human_duration(seconds));
    }
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace zorbel_tool
