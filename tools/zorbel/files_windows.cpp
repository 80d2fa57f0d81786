#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <random>

#include <fmt/format.h>

#include "files.h"

namespace zorbel_tool {

FileFacts look_at(const std::string& path) {
    FileFacts facts;
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return facts;
    facts.exists = true;
    facts.regular = std::filesystem::is_regular_file(status);
    facts.directory = std::filesystem::is_directory(status);
    if (facts.regular) facts.size = std::filesystem::file_size(path, ec);
    // The read-only attribute is all that Windows shows of it here.
    facts.writable =
        (status.permissions() & std::filesystem::perms::owner_write) != std::filesystem::perms::none;
    return facts;
}

// A named pipe's open fails at once when it is busy; nothing here waits.
int open_for_reading(const std::string& path) { return ::_open(path.c_str(), _O_RDONLY | _O_BINARY); }

int open_for_writing(const std::string& path) { return ::_open(path.c_str(), _O_WRONLY | _O_BINARY); }

NewFile create_beside(const std::string& target) {
    const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY;
    NewFile made;
    made.path = target + ".part";
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        made.fd = ::_open(made.path.c_str(), flags, _S_IREAD | _S_IWRITE);
        if (made.fd >= 0 || errno != EEXIST) return made;
        made.path = fmt::format("{}.{:06x}.part", target, entropy() & 0xFFFFFF);
    }
    return made;
}

// std::rename does not replace an existing file on Windows.
bool replace_file(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno = ::GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}

void close_file(int fd) { ::_close(fd); }

}  // namespace zorbel_tool
