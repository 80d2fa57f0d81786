// What the tool shows a person: sizes, rates and durations in readable units,
// a progress line on a terminal, and JSON text for scripts.
#ifndef ZORBEL_TOOL_OUTPUT_H
#define ZORBEL_TOOL_OUTPUT_H

#include <chrono>
#include <cstdint>
#include <string>

namespace zorbel_tool {

std::string human_bytes(double bytes);       // "1.5 MiB"
std::string human_rate(double bytes_per_s);  // "12.3 MB/s" (decimal, as links are quoted)
std::string human_duration(double seconds);  // "0:07", "1:02:03"
std::string json_string(const std::string& text);

// Whether progress belongs on standard error: only a person watching a
// terminal wants it; a pipe or a log file gets the final summary alone.
bool progress_wanted();

// SIGINT and SIGTERM only raise a flag, so that a transfer can stop between
// blocks, release its pipe and device, and say how far it got.
void install_interrupt_handler();
bool interrupted();
// The status a shell reports for death by the signal that came: 130 for
// SIGINT, 143 for SIGTERM.
int interrupted_status();

// One line on standard error, redrawn at most ten times a second: bytes so
// far, the total when known, the rate and the time left; or, for a wait that
// moves no bytes, only the time so far.
class Progress {
public:
    enum class Kind { bytes, wait };
    Progress(std::string label, std::uint64_t total, bool enabled, Kind kind = Kind::bytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(std::uint64_t done);
    // Clears the line, so that whatever follows starts on a clean one.
    void finish();
    double elapsed_seconds() const;

private:
    void draw(std::uint64_t done);

    std::string label_;
    std::uint64_t total_;
    bool enabled_;
    Kind kind_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace zorbel_tool

#endif
