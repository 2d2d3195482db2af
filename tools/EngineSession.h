// The full engine on the simulated network, as the demo and the replay run it: a host
// state block, the engine made by the factory, the rules and configuration of a
// configuration file, started.
//
// Thread-safety: one thread opens, drives and closes a session; the engine itself runs
// its own threads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/HostConfig.h"
#include "host/IPacketProcessor.h"
#include "host/Records.h"

namespace bastion::tools {

class EngineSession {
  public:
    // Creates the engine, gives it the rules, starts it and applies the configuration
    // (which opens the main divert handle). Null with `error` set when the factory fails
    // or the engine does not start. The packet log keeps at least `packetLogCapacity`
    // lines; the address lists stay in memory (nothing is written to the state directory).
    static std::unique_ptr<EngineSession> Open(PacketProcessorFactory factory,
                                               PacketProcessorDestroyer destroyer,
                                               const HostConfig& setup, std::string* error,
                                               size_t packetLogCapacity = 100'000);
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

    IPacketProcessor& Engine() { return *engine_; }
    RuntimeState& State() { return *state_; }
    // Stops the engine (idempotent); the destructor also does.
    void Stop();

  private:
    EngineSession() = default;

    std::unique_ptr<RuntimeState> state_;
    IPacketProcessor* engine_ = nullptr;
    PacketProcessorDestroyer destroyer_ = nullptr;
    bool stopped_ = false;
};

// The rule name a log line names ("... | Rule: NAME | ...", "... bởi \"NAME\" ...",
// "[NAME] IP ..."), or the line's first words when it names none; used to count drops
// per reason.
std::string ReasonOfLogLine(const std::string& line);

}  // namespace bastion::tools
