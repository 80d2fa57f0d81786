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
    forget_cleared();
}

void XMCPPipeFactory::forget_cleared() {
    for (std::atomic<bool>& sent : cleared_) sent.store(false);
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
    // cable, and an earlier host that lost the device could not end its pipes
    // there: the device's ends of these channels may still count the blocks
    // of that host, and take every block of a pipe that starts from 0 as
    // stale. So the first pipe with this number since the connection started
    // sends cmd_delete on both channels before anything else of the pipe: the
    // device ends what it kept there and serves the number afresh from block
    // 0, its buffers emptied (a device with nothing there ignores it, or
    // starts its program on the number again). Not cmd_reset: that keeps the
    // bytes a stream holds and clears a deletion the device's program may not
    // have seen yet, so a program still sending to the last host went on with
    // the new one. The device drops the new pipe's first requests while it
    // restarts; they are repeated. A pipe made again with the number on the
    // same connection sends none (the last one's release ended it), nor does
    // a pipe made before the connection runs.
    if (input != nullptr && output != nullptr && control->started() && !cleared_[num].exchange(true)) {
        engine->out_command(static_cast<int>(2 * num - 1), BlockProtocol::cmd_delete, 0);
        engine->out_command(static_cast<int>(2 * num), BlockProtocol::cmd_delete, 0);
    }
    return pipe;
}
