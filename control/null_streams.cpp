#include "zorbel/control.h"

// Streams of the shared null pair hold no state beyond their IO flags, which
// nothing changes after construction, so any number of threads may use them.

NullInputStream::NullInputStream() { set(0x1); }  // bad from the start
long NullInputStream::read(unsigned char*, long) { return 0; }
int NullInputStream::read_byte() { return -1; }
long NullInputStream::seekg(long, seek_t) { return -1; }
long NullInputStream::tellg() { return -1; }

NullOutputStream::NullOutputStream() = default;
long NullOutputStream::write(const unsigned char*, long count) { return count; }
int NullOutputStream::write_byte(int c) { return c; }
long NullOutputStream::seekp(long, seek_t) { return -1; }
long NullOutputStream::tellp() { return -1; }

NullInputStream NullInput;
NullOutputStream NullOutput;
