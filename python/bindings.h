// The Python module's parts. Each bind_* adds its classes and functions to the
// module; define_module calls them in order (errors first: the others raise
// them). The extension module and the benchmark that embeds Python both
// build the module with define_module.
#ifndef ZORBEL_PYTHON_BINDINGS_H
#define ZORBEL_PYTHON_BINDINGS_H

#include <pybind11/pybind11.h>

namespace zorbel {
namespace python {

void define_module(pybind11::module_& m);

void bind_errors(pybind11::module_& m);
void bind_devices(pybind11::module_& m);
void bind_pipes(pybind11::module_& m);
void bind_emulator(pybind11::module_& m);

}  // namespace python
}  // namespace zorbel

#endif
