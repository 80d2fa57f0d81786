// The files a command reads its bytes from and writes them to, standard
// input and output included ("-", or no name at all). Every wait in them
// (an open, a read, a write) ends when the tool is asked to end.
#ifndef ZORBEL_TOOL_BYTE_FILES_H
#define ZORBEL_TOOL_BYTE_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zorbel_tool {

// Whether a FILE argument names standard input or output.
bool is_stdio(const std::string& path);

// A file to read, opened at once so that a wrong path fails before the
// device is touched.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // What is there now, up to `cap` bytes (0 at the end). A signal ends the
    // wait with a Failure that says how many bytes were read before.
    std::size_t read(unsigned char* buf, std::size_t cap);
    std::uint64_t size() const { return size_; }  // 0 when unknown
    const std::string& name() const { return name_; }

private:
    std::string name_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t read_so_far_ = 0;
};

// A file to write. A regular file (or a new one) gets the bytes in a new
// file beside it (see create_beside), which takes its place only once the
// transfer has succeeded, so that an interrupted transfer never leaves a
// file that looks complete and a link planted beside it is never written
// through. A symbolic link named as the target is followed, so the new file
// and the replacement happen at its target and the link stays. Anything
// else (a FIFO, a terminal, a device node such as /dev/null) is written
// directly: replacing it would turn it into a regular file.
class OutputFile {
public:
    // `force`: replace an existing file that this user may not write.
    OutputFile(const std::string& path, bool force);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Writes all of it. A closed reader ends the tool quietly, with the
    // status of a program that SIGPIPE ended, as cat does.
    void write(const unsigned char* data, std::size_t n);
    // Where the bytes of a transfer that did not finish are kept, or "".
    std::string partial_file() const;
    // Makes the received bytes the named file.
    void commit();

private:
    std::string name_;    // as the user named it
    std::string target_;  // the file it names, links followed
    std::string part_;
    int fd_ = -1;
    bool direct_ = false;
    bool committed_ = false;
    std::uint64_t written_ = 0;
};

}  // namespace zorbel_tool

#endif
