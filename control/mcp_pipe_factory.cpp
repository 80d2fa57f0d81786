#include <new>

#include "control/pipe_table.h"
#include "zorbel/control.h"

namespace {
char mcp_factory_class_name[] = "XMCPPipeFactory";

// Pipe p takes channels 2p-1 (out) and 2p (in); 125 pipes fill channels 1 to
// 250 and leave 0 and 251..255 to the protocol.
constexpr unsigned long kMaxPipeNum = 125;
}  // namespace

// A number maps to fixed channels, so it can be in use only once; new_pipe
// refuses a number that a pipe holds, or that is being made or released.
XMCPPipeFactory::XMCPPipeFactory() : XPipeFactory(), control(nullptr) {
    if (table) table->unique_numbers = true;
}

char* XMCPPipeFactory::get_class() { return mcp_factory_class_name; }

XPipe* XMCPPipeFactory::create_pipe(char* name, unsigned long num, unsigned long) {
    if (num == 0 || num > kMaxPipeNum) return nullptr;
    if (!control) return nullptr;
    // A connection whose engine could not be built has no channels to offer.
    BlockDriver* engine = control->get_block_driver();
    if (!engine) return nullptr;
    Output* output = new (std::nothrow) ChanOutput(engine, 2 * num - 1);
    Input* input = new (std::nothrow) ChanInput(engine, 2 * num);
    // A stream that could not be allocated is stood in for by the null
    // stream of its side; the pipe itself is still made.
    XPipe* pipe = new (std::nothrow) XPipeBase(*this, name, input, output, num);
    if (!pipe) {
        delete input;
        delete output;
    }
    return pipe;
}
