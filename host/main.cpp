// The executable: a thin shell that hands the engine's factory and destroyer to the host.
#include "control/BastionMain.h"
#include "host/Factory.h"

int main(int argc, char** argv) {
    BastionProcessArgs args{argc, argv};
    constexpr int kShowNormal = 1;
    return bastion::BastionMain(&args, kShowNormal, &bastion::CreatePacketProcessor,
                                &bastion::DestroyPacketProcessor);
}
