// What several parts of the module share about devices.
#ifndef ZORBEL_PYTHON_DEVICES_H
#define ZORBEL_PYTHON_DEVICES_H

#include <pybind11/pybind11.h>

#include "python/arguments.h"
#include "zorbel/client.h"

namespace zorbel {
namespace python {

// A selector as Python passes it: an int is a device number, a str a hardware
// ID, an ID or a bus location, and a DeviceInfo names that device (by its
// hardware ID, which survives renumbering, where it has one). TypeError for
// anything else, InvalidArgumentError for an int beyond any device number.
DeviceSelector selector_from(SelectorArg selector);

}  // namespace python
}  // namespace zorbel

#endif
