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
    forget_resets();
}

void XMCPPipeFactory::forget_resets() {
    for (std::atomic<bool>& sent : reset_sent_) sent.store(false);
}

char* XMCPPipeFactory::get_class() { return mcp_factory_class_name; }

XPipe* XMCPPipeFactory::create_pipe(char* name, unsigned long num, unsigned long) {
    if (num == 0 || num > kMaxPipeNum) return nullptr;
    if (!control) return nullptr;
    // A connection whose engine could not be built has no channels to offer.
    BlockDriver* engine = control->get_block_driver();
    if (!engine) return nullptr;
    ChanOutput* output = new (std::nothrow) ChanOutput(engine, 2 * num - 1);
    ChanInput* input = new (std::nothrow) ChanInput(engine, 2 * num);
    // A stream that could not be allocated is stood in for by the null
    // stream of its side; the pipe itself is still made.
    XPipe* pipe = new (std::nothrow) XPipeBase(*this, name, input, output, num);
    if (!pipe) {
        delete input;
        delete output;
        return nullptr;
    }
    // The device keeps its channels' state across connections and a pulled
    // cable, and an earlier host that lost the device could not delete its
    // pipes there: the device's ends of these channels may still count the
    // blocks of that host, and take every block of a pipe that starts from 0
    // as stale. So the first pipe with this number since the connection
    // started asks the device to re-initialise both channels before its first
    // block (the commands go out in order, ahead of any request or block of
    // the pipe); on a fresh channel that changes nothing. A pipe made again
    // with the number on the same connection sends none: the device learnt of
    // the last one's end from its cmd_delete, and a reset following that
    // deletion closely could reach the device before its program has seen it.
    // Pipes made before the connection runs cannot reach the device and send
    // none either.
    if (input != nullptr && output != nullptr && control->started() && !reset_sent_[num].exchange(true)) {
        output->reset();
        input->reset();
    }
    return pipe;
}
