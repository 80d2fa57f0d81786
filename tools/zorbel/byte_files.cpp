#include "byte_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "console.h"
#include "failure.h"
#include "files.h"
#include "output.h"

namespace zorbel_tool {
namespace {

constexpr int kStandardInput = 0;
constexpr int kStandardOutput = 1;

// Follows symbolic links (a chain of them, relative ones too) to the path
// they name; a dangling link names the file to be made.
std::string resolve(const std::string& path) {
    std::filesystem::path p = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec))) break;
        std::filesystem::path next = std::filesystem::read_symlink(p, ec);
        if (ec) break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p.string();  // a loop: the open reports it
}

}  // namespace

bool is_stdio(const std::string& path) { return path.empty() || path == "-"; }

InputFile::InputFile(const std::string& path) : name_(is_stdio(path) ? "standard input" : path) {
    if (is_stdio(path)) {
        fd_ = kStandardInput;
        return;
    }
    const FileFacts facts = look_at(path);
    if (facts.directory) throw Failure(fmt::format("cannot read {}: it is a directory; name a file", path));
    fd_ = open_for_reading(path);
    if (fd_ < 0)
        throw Failure(fmt::format("cannot read {}: {}; check the path and its permissions", path,
                                  std::strerror(errno)));
    size_ = facts.size;
}

InputFile::~InputFile() {
    if (fd_ > kStandardInput) close_file(fd_);
}

// Every byte read before is delivered before the next read, so the count
// read so far is the count that got through.
std::size_t InputFile::read(unsigned char* buf, std::size_t cap) {
    for (;;) {
        if (interrupted())
            throw Failure(fmt::format("interrupted; {} bytes got through", read_so_far_),
                          interrupted_status());
        const long n = read_available(fd_, buf, cap);
        if (n == kNothingYet) continue;
        if (n >= 0) {
            read_so_far_ += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        throw Failure(
            fmt::format("reading {} failed after {} bytes: {}", name_, read_so_far_, std::strerror(errno)));
    }
}

OutputFile::OutputFile(const std::string& path, bool force) {
    if (is_stdio(path)) {
        fd_ = kStandardOutput;
        name_ = "standard output";
        return;
    }
    name_ = path;
    target_ = resolve(path);
    const FileFacts facts = look_at(target_);
    if (facts.directory) throw Failure(fmt::format("cannot write {}: it is a directory", path));
    if (facts.exists && !facts.regular) {
        fd_ = open_for_writing(target_);
        if (fd_ < 0 && errno == EINTR && interrupted())
            throw Failure(fmt::format("interrupted while waiting for a reader of {}", path),
                          interrupted_status());
        if (fd_ < 0) throw Failure(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
        direct_ = true;
        return;
    }
    if (facts.exists && !facts.writable && !force)
        throw Failure(fmt::format(
            "cannot write {}: this user may not write it; add --force to replace it all the same", path));
    const NewFile made = create_beside(target_);
    if (made.fd < 0)
        throw Failure(fmt::format("cannot write {}: {}; check the directory and its permissions", made.path,
                                  std::strerror(errno)));
    fd_ = made.fd;
    part_ = made.path;
}

// A new file with bytes in it stays (partial_file says where); an empty one
// goes.
OutputFile::~OutputFile() {
    if (fd_ == kStandardOutput || fd_ < 0 || committed_) return;
    close_file(fd_);
    if (!direct_ && written_ == 0) std::remove(part_.c_str());
}

void OutputFile::write(const unsigned char* data, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        if (interrupted())
            throw Failure(fmt::format("interrupted; {} bytes got through", written_), interrupted_status());
        const long w = write_available(fd_, data + at, n - at);
        if (w == kNothingYet) continue;
        if (w < 0) {
            if (reader_went_away()) throw Failure("", broken_pipe_status());
            throw Failure(fmt::format("writing {} failed: {}", name_, std::strerror(errno)));
        }
        at += static_cast<std::size_t>(w);
        written_ += static_cast<std::uint64_t>(w);
    }
}

std::string OutputFile::partial_file() const {
    return fd_ != kStandardOutput && !direct_ && !committed_ && written_ > 0 ? part_ : std::string();
}

void OutputFile::commit() {
    if (fd_ == kStandardOutput) return;
    committed_ = true;
    close_file(fd_);
    if (direct_) return;
    if (!replace_file(part_, target_)) {
        const int error = errno;
        committed_ = false;  // the bytes stay where they are, and the line says so
        fd_ = -1;
        throw Failure(fmt::format("cannot put the received bytes in place of {}: {}; they are in {}", name_,
                                  std::strerror(error), part_));
    }
}

}  // namespace zorbel_tool
