#include "tools/ToolCommands.h"

namespace bastion {

// No tool subcommands yet: the demonstration and the replay add theirs here.
void AddToolCommands(CLI::App& /*app*/, PacketProcessorFactory /*factory*/,
                     PacketProcessorDestroyer /*destroyer*/, int& /*exitCode*/) {}

}  // namespace bastion
