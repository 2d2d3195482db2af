#include "host/Factory.h"

#include "engine/PacketProcessor.h"

namespace bastion {

IPacketProcessor* CreatePacketProcessor(RuntimeState& state) {
    return ConstructAligned<PacketProcessor>(state);
}

void DestroyPacketProcessor(IPacketProcessor* processor) {
    // The virtual deleting destructor frees with the engine type's own (aligned) delete.
    delete processor;
}

}  // namespace bastion
