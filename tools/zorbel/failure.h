// How a command gives up: one line for the user that names what failed and
// what to do about it. main() prints it once and exits with the status.
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
    explicit Failure(const std::string& line, int status = kExitFailed)
        : std::runtime_error(line), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

}  // namespace zorbel_tool

#endif
