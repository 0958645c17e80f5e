// The one kind of failure conv-ta reports: a message that names what was
// wrong, printed as one line, and a non-zero exit.
#ifndef CONV_TA_TOOL_ERROR_H
#define CONV_TA_TOOL_ERROR_H

#include <stdexcept>
#include <string>

namespace conv_ta_tool {

class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The text of errno, for messages about files.
std::string errno_text(int error);

} // namespace conv_ta_tool

#endif
