// The subcommands of `bastion`, callable without the command line (the tests call them).
// Each returns the process exit status.
#pragma once

#include <ostream>
#include <string>

namespace bastion {

// `bastion check-config FILE`: every problem of the file as "file:line:column: message"
// on `err`; 0 when the file is valid (and "FILE: OK" on `out`), 1 otherwise.
int CheckConfigCommand(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace bastion
