// Test support: a service unit's command as the service manager would run it, from the
// unit file and the environment file of its settings.
#pragma once

#include <map>
#include <string>

#include "process.h"

namespace kttest {

using Environment = std::map<std::string, std::string>;

// The whole content of a text file; empty when it cannot be read.
std::string read_file(const std::string &path);

// The variables of an environment file: NAME=value lines, values optionally in double
// quotes; comments and blank lines skipped.
Environment read_environment(const std::string &path);

// The ExecStart= command of the unit text `unit` with `vars` put in as the service manager
// does: a word "$NAME" becomes the value's words, "${NAME}" inside a word the whole value.
// A variable the unit uses and `vars` lacks is named in `missing` (else it is cleared).
Args exec_start(const std::string &unit, const Environment &vars, std::string *missing);

}  // namespace kttest
