// BastionMain: the host library's entry. It runs the whole application (command line,
// configuration, address lists, the control endpoint) and drives the engine through
// IPacketProcessor, created with the factory and released with the destroyer it is given.
#pragma once

#include "host/IPacketProcessor.h"
#include "platform/Win32.h"

#ifndef _WIN32
// On Linux the process arguments take the place of the module instance.
struct BastionProcessArgs {
    int argc = 0;
    char** argv = nullptr;
};
#endif

namespace bastion {

int BastionMain(HINSTANCE instance, int showCommand, PacketProcessorFactory factory,
                PacketProcessorDestroyer destroyer);

}  // namespace bastion
