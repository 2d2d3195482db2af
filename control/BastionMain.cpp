#include "control/BastionMain.h"

#include <cstdio>
#include <memory>

namespace bastion {

int BastionMain(HINSTANCE instance, int showCommand, PacketProcessorFactory factory,
                PacketProcessorDestroyer destroyer) {
    (void)instance;
    (void)showCommand;
    auto state = std::make_unique<RuntimeState>();
    IPacketProcessor* engine = factory(*state);
    if (engine == nullptr) {
        std::fprintf(stderr, "bastion: the engine could not be created\n");
        return 1;
    }
    engine->ApplyConfig(state->config);
    bool started = engine->Start();
    engine->Stop();
    destroyer(engine);
    if (!started) {
        std::fprintf(stderr, "bastion: the engine did not start\n");
        return 1;
    }
    std::printf("bastion: engine started and stopped cleanly\n");
    return 0;
}

}  // namespace bastion
