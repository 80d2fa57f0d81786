#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "files.h"
#include "output.h"

namespace zorbel_tool {
namespace {

// Back to blocking reads and writes once the open is done: the waits that
// follow poll first (read_available, write_available).
int blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

FileFacts look_at(const std::string& path) {
    FileFacts facts;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return facts;
    facts.exists = true;
    facts.regular = S_ISREG(st.st_mode);
    facts.directory = S_ISDIR(st.st_mode);
    if (facts.regular) facts.size = static_cast<std::uint64_t>(st.st_size);
    facts.writable = ::access(path.c_str(), W_OK) == 0;
    return facts;
}

int open_for_reading(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for its writer, and the C
    // library restarts that wait after a signal.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? fd : blocking(fd);
}

int open_for_writing(const std::string& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return blocking(fd);
        if (errno != ENXIO) return -1;  // ENXIO: a FIFO that nobody reads yet
        if (interrupted()) {
            errno = EINTR;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

NewFile create_beside(const std::string& target) {
    struct stat existing {};
    const bool replacing = ::stat(target.c_str(), &existing) == 0;
    // O_EXCL: a new file or nothing; with O_CREAT it also refuses a link,
    // dangling or not, and O_NOFOLLOW says so once more.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    NewFile made;
    made.path = target + ".part";
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made.fd = ::open(made.path.c_str(), flags, 0666);
        if (made.fd >= 0) break;
        if (errno != EEXIST) return made;
        made.path = fmt::format("{}.{:06x}.part", target, entropy() & 0xFFFFFF);
    }
    if (made.fd < 0) return made;
    if (replacing) {
        // The mode of the file it replaces, without set-ID bits; and its
        // owner when root replaces someone else's file (best effort).
        if (::fchmod(made.fd, existing.st_mode & 0777) != 0) {
        }
        if (::geteuid() == 0 && ::fchown(made.fd, existing.st_uid, existing.st_gid) != 0) {
        }
    }
    return made;
}

bool replace_file(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void close_file(int fd) { ::close(fd); }

}  // namespace zorbel_tool
