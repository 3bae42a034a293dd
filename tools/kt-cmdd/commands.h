// Built-in commands of the example command server.
#ifndef KT_CMDD_COMMANDS_H
#define KT_CMDD_COMMANDS_H

#include <string>

#include "kt_cmd.h"

namespace ktcmdd {

// What running one command gives: the result text for the reply builder, and whether the
// connection is to be closed once the reply has gone out.
struct Outcome {
    std::string result;
    bool close_after = false;
};

// Runs the decoded command `cmd` (whose code is 0) and may set its reply flags.
Outcome run_command(kt_cmd &cmd);

}  // namespace ktcmdd

#endif  // KT_CMDD_COMMANDS_H
