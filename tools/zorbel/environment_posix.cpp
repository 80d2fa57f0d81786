#include <cstdlib>

#include "environment.h"

namespace zorbel_tool {

void set_environment(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace zorbel_tool
