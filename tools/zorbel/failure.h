// How a command gives up: one line for the user that names what failed and
// what to do about it. main() prints it once and exits with the status; in
// --json mode it also prints the reason as JSON on standard output, with a
// code that a script can compare.
#ifndef ZORBEL_TOOL_FAILURE_H
#define ZORBEL_TOOL_FAILURE_H

#include <stdexcept>
#include <string>

namespace zorbel_tool {

// Exit statuses. Scripts tell a usage mistake from a failed job by them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // as a shell reports death by SIGINT

class Failure : public std::runtime_error {
public:
    // `code`: a word for scripts ("busy", "timed_out"); when empty, one that
    // follows from the status ("usage", "interrupted", "failed").
    explicit Failure(const std::string& line, int status = kExitFailed, std::string code = std::string())
        : std::runtime_error(line), status_(status), code_(std::move(code)) {}
    int status() const { return status_; }
    std::string code() const {
        if (!code_.empty()) return code_;
        if (status_ == kExitUsage) return "usage";
        if (status_ > 128) return "interrupted";
        return "failed";
    }

private:
    int status_;
    std::string code_;
};

}  // namespace zorbel_tool

#endif
