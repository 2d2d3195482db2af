// The capture workers: each receives batches from the main divert handle, decides every
// packet and re-injects the passing ones.
#pragma once

namespace bastion {

class PacketProcessor;

// Body of capture worker `workerIndex` (from 0): runs while the engine's `running` flag is
// set, waiting while no main divert handle is open.
void CaptureLoop(PacketProcessor& engine, int workerIndex);

}  // namespace bastion
