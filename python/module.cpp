// The extension module: `import zorbel`.
#include "python/bindings.h"

PYBIND11_MODULE(zorbel, m) { zorbel::python::define_module(m); }
