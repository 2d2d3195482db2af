// Daemon: one run of the engine under the host. It owns the state block the engine works
// on, reads the configuration file, loads the address lists from the state directory,
// creates the engine with the factory and hands it the configuration and rules, and
// applies later versions of the file on request (SIGHUP, POST /api/reload).
//
// A reload reads the whole file first; only a file without a single problem is applied
// (rules, advanced rules, configuration, then the ICMP module refresh), so a bad edit
// leaves the running configuration exactly as it was. Host settings that need a new
// process (state directory, HTTP address and port, vendor API host) are reported and
// take effect at the next start; the packet-log capacity applies at once.
//
// Thread-safety: Start, Reload and Stop are serialised by one mutex and may be called
// from any thread (the signal loop and the HTTP threads both reload). The engine's own
// snapshot operations (GetMetrics, GetConfig...) may be called concurrently with them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/HostConfig.h"
#include "host/IPacketProcessor.h"

namespace bastion {

struct ReloadResult {
    bool applied = false;
    std::vector<ConfigProblem> problems;  // why it was not applied
    std::vector<std::string> notes;       // applied, but some settings wait for a restart
};

class Daemon {
  public:
    Daemon(PacketProcessorFactory factory, PacketProcessorDestroyer destroyer);
    ~Daemon();  // stops a running engine
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Reads `configPath`, loads the lists from the state directory (`stateDirectory`
    // overrides the file's when not empty), creates, configures and starts the engine.
    // False with `problems` describing why; nothing is left running then.
    bool Start(const std::string& configPath, const std::string& stateDirectory,
               std::vector<ConfigProblem>& problems);

    ReloadResult Reload();

    // Stops the engine, writes the lists and destroys the engine. Returns the list write
    // failure ("" when none). Does nothing when not started.
    std::string Stop();

    bool Running() const { return engine_ != nullptr; }
    IPacketProcessor& Engine() { return *engine_; }
    RuntimeState& State() { return *state_; }
    // The configuration in force (as last applied).
    HostConfig Config() const;
    const std::string& ConfigPath() const { return configPath_; }
    const std::string& StateDirectory() const { return stateDirectory_; }
    uint64_t ReloadCount() const { return reloads_.load(); }
    uint64_t FailedReloadCount() const { return failedReloads_.load(); }

  private:
    void HandOver(const HostConfig& config);
    // Tells the operator's packet log (the engine's summary lines land there too).
    void Note(std::string text);

    PacketProcessorFactory factory_;
    PacketProcessorDestroyer destroyer_;
    std::unique_ptr<RuntimeState> state_;
    IPacketProcessor* engine_ = nullptr;
    mutable std::mutex mutex_;
    HostConfig config_;
    std::string configPath_;
    std::string stateDirectory_;
    bool stateDirectoryGiven_ = false;  // Start's `stateDirectory` overrode the file's
    std::atomic<uint64_t> reloads_{0};
    std::atomic<uint64_t> failedReloads_{0};
};

// Creates `directory` and its parents as needed; "" on success, else what failed.
std::string MakeDirectories(const std::string& directory);

}  // namespace bastion
