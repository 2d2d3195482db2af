// The subcommands of `bastion`, callable without the command line (the tests call them).
// Each returns the process exit status.
#pragma once

#include <ostream>
#include <string>

#include "host/IPacketProcessor.h"

namespace bastion {

// `bastion check-config FILE`: every problem of the file as "file:line:column: message"
// on `err`; 0 when the file is valid (and "FILE: OK" on `out`), 1 otherwise.
int CheckConfigCommand(const std::string& path, std::ostream& out, std::ostream& err);

struct RunOptions {
    std::string configPath = "config/bastion.json";
    std::string world = "sim";   // "sim" or "linux"
    std::string stateDirectory;  // overrides the file's host.stateDirectory when set
    // With the sim world: a built-in scenario name or a scenario file, whose traffic the
    // demo's generator sends through the simulated network while the daemon runs.
    std::string scenario;
};

// `bastion run`: runs the daemon until SIGINT or SIGTERM. 0 after a clean stop, 1 when it
// could not start or the lists could not be saved, 2 for an unknown world or an unusable
// scenario, 4 when the linux world lacks root or CAP_NET_ADMIN.
int RunCommand(const RunOptions& options, PacketProcessorFactory factory,
               PacketProcessorDestroyer destroyer, std::ostream& err);

// `bastion lists (allow|block) (add|remove|show) [ADDRESS]`: through the daemon of
// `stateDirectory` when one runs, else on the list files there.
int ListsCommand(const std::string& list, const std::string& action, const std::string& address,
                 const std::string& stateDirectory, std::ostream& out, std::ostream& err);

// `bastion status [--json]`: 0 with the status, 3 when no daemon runs, 1 on failure.
int StatusCommand(bool asJson, const std::string& stateDirectory, std::ostream& out,
                  std::ostream& err);

}  // namespace bastion
