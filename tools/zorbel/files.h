// Opening, creating and replacing the files the tool reads and writes. A
// receive into a shared directory such as /tmp must never write through a
// link someone planted beside the target, and no open may wait past a
// Ctrl-C (a FIFO with nobody at the other end). One file per platform.
#ifndef ZORBEL_TOOL_FILES_H
#define ZORBEL_TOOL_FILES_H

#include <cstdint>
#include <string>

namespace zorbel_tool {

// What is at a path now, links followed.
struct FileFacts {
    bool exists = false;
    bool regular = false;
    bool directory = false;
    std::uint64_t size = 0;  // regular files only
    bool writable = true;    // this user may write it (an existing file)
};
FileFacts look_at(const std::string& path);

// Opens an existing file for reading, a FIFO included: the open does not
// wait for the FIFO's writer; the reads wait (read_available), and a signal
// ends them. -1 with errno set on failure.
int open_for_reading(const std::string& path);

// Opens an existing file that is not a regular one (a FIFO, a device node)
// for writing. For a FIFO without a reader it waits for one, and gives up
// with errno EINTR when the tool is asked to end. -1 with errno set.
int open_for_writing(const std::string& path);

// A new file beside `target` that will replace it once complete. Named
// "TARGET.part", or, when that name is taken (the bytes of an earlier
// transfer that did not finish, or anything planted there), a fresh name
// "TARGET.XXXXXX.part": what is there is never opened, and a link there is
// never followed. When `target` exists, the new file gets its permissions,
// as cp keeps them when it overwrites. fd -1 with errno set on failure.
struct NewFile {
    int fd = -1;
    std::string path;
};
NewFile create_beside(const std::string& target);

// Puts `from` in the place of `to`, replacing what is there in one step.
// False with errno set on failure (both files are then as they were).
bool replace_file(const std::string& from, const std::string& to);

void close_file(int fd);

}  // namespace zorbel_tool

#endif
