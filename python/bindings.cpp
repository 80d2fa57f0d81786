#include "python/bindings.h"

namespace zorbel {
namespace python {

void define_module(pybind11::module_& m) {
    m.doc() =
        "The zorbel device from Python: find devices, boot them, connect and exchange\n"
        "bytes over pipes with the programs on the device; and an emulated bus with\n"
        "devices, so that scripts and their tests run without hardware.\n"
        "\n"
        "Every call that waits lets other Python threads run meanwhile, and Ctrl-C\n"
        "(KeyboardInterrupt) ends it. Failures raise zorbel.Error (an OSError) or one\n"
        "of its subclasses; time-outs raise zorbel.TimedOutError, a TimeoutError.";
    m.attr("__version__") = ZORBEL_VERSION;
    bind_errors(m);
    bind_devices(m);
    bind_pipes(m);
    bind_emulator(m);
}

}  // namespace python
}  // namespace zorbel
