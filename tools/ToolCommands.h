// Subcommands beside the daemon's own: the demonstration on the simulated network and the
// replay of captures through the engine. The host's command line adds them to its own.
#pragma once

#include <CLI/CLI.hpp>

#include "host/IPacketProcessor.h"

namespace bastion {

// Adds the tool subcommands to `app`. A subcommand that runs stores its process exit status
// in `exitCode`, which must outlive the parse.
void AddToolCommands(CLI::App& app, PacketProcessorFactory factory,
                     PacketProcessorDestroyer destroyer, int& exitCode);

}  // namespace bastion
