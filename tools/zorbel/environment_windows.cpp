#include <cstdlib>

#include "environment.h"

namespace zorbel_tool {

void set_environment(const std::string& name, const std::string& value) {
    ::_putenv_s(name.c_str(), value.c_str());
}

}  // namespace zorbel_tool
