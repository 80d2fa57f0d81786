// Setting a variable of the tool's own environment, which the library reads
// (ZORBEL_CAPTURE when a connection is made).
#ifndef ZORBEL_TOOL_ENVIRONMENT_H
#define ZORBEL_TOOL_ENVIRONMENT_H

#include <string>

namespace zorbel_tool {

void set_environment(const std::string& name, const std::string& value);

}  // namespace zorbel_tool

#endif
