#include "zorbel/control.h"

namespace {
char pipe_class_name[] = "IPipe";
}  // namespace

XPipe::XPipe(XPipeFactory& factory) : XAtom(), factory(&factory) {}
XPipe::XPipe(XPipeFactory& factory, char* name) : XAtom(name), factory(&factory) {}
XPipe::~XPipe() = default;

char* XPipe::get_class() { return pipe_class_name; }

// A plain pipe carries nothing: it reads as a broken, empty stream and
// swallows whatever is written to it.
Input& XPipe::get_input() { return NullInput; }
Output& XPipe::get_output() { return NullOutput; }
unsigned long XPipe::get_num() { return 0; }

XPipeFactory& XPipe::get_factory() { return *factory; }

bool XPipe::release() { return factory->delete_pipe(this, 0); }

// Open and closed are not stored: they follow the bad bit of the streams,
// which for channel pipes the peer's delete and reset commands drive.
unsigned short XPipe::get_state() {
    if (get_input().is_bad()) return 1;
    if (get_output().is_bad()) return 1;
    return 0;
}

bool XPipe::is_good() { return (get_state() & 0x1) == 0; }
bool XPipe::is_opened() { return is_good(); }
bool XPipe::is_bad() { return (get_state() & 0x1) != 0; }
bool XPipe::is_closed() { return is_bad(); }

XPipeBase::XPipeBase(XPipeFactory& factory, char* name, Input* input, Output* output, unsigned long num)
    : XPipe(factory, name), input(input), output(output), num(num) {}

// The pipe owns its streams; deleting a channel stream also takes its
// channel out of the block engine's table.
XPipeBase::~XPipeBase() {
    delete input;
    delete output;
}

Input& XPipeBase::get_input() { return input ? *input : static_cast<Input&>(NullInput); }
Output& XPipeBase::get_output() { return output ? *output : static_cast<Output&>(NullOutput); }
unsigned long XPipeBase::get_num() { return num; }
