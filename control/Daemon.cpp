#include "control/Daemon.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include "control/AtomicFile.h"
#include "platform/Clock.h"

namespace bastion {

std::string MakeDirectories(const std::string& directory) {
    for (size_t at = 1; at <= directory.size(); ++at) {
        if (at != directory.size() && directory[at] != '/') continue;
        std::string prefix = directory.substr(0, at);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return "cannot create directory " + prefix + ": " + ErrnoText(errno);
        }
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        return "cannot use directory " + directory + ": " + ErrnoText(errno);
    }
    if (!S_ISDIR(info.st_mode)) return directory + " is not a directory";
    return "";
}

Daemon::Daemon(PacketProcessorFactory factory, PacketProcessorDestroyer destroyer)
    : factory_(factory), destroyer_(destroyer) {}

Daemon::~Daemon() {
    Stop();
}

void Daemon::HandOver(const HostConfig& c) {
    engine_->SetRules(c.rules, c.portPpsRules, c.portSizeRules, c.advancedRules, c.portConnRules,
                      c.portSynRules, c.udpRules, c.icmpRules);
    engine_->SetUdpAdvancedRules(c.udpAdvancedRules);
    engine_->SetIcmpAdvancedRules(c.icmpAdvancedRules);
    engine_->ApplyConfig(c.config);
}

bool Daemon::Start(const std::string& configPath, const std::string& stateDirectory,
                   std::vector<ConfigProblem>& problems) {
    std::lock_guard lock(mutex_);
    if (engine_ != nullptr) {
        problems.push_back({configPath, 0, 0, "the engine is already running"});
        return false;
    }
    ConfigLoad load = LoadConfigFile(configPath);
    if (!load.config) {
        problems = std::move(load.problems);
        return false;
    }
    HostConfig config = std::move(*load.config);
    stateDirectoryGiven_ = !stateDirectory.empty();
    if (stateDirectoryGiven_) config.host.stateDirectory = stateDirectory;
    if (std::string error = MakeDirectories(config.host.stateDirectory); !error.empty()) {
        problems.push_back({configPath, 0, 0, error});
        return false;
    }

    auto state = std::make_unique<RuntimeState>();
    // The engine's constructor reads the log switches and the vendor API host.
    state->config = config.config;
    state->apiHostName = config.host.apiHostName;
    state->packetLog.SetCapacity(config.host.packetLogCapacity);
    state->ipLists.SetStorageDirectory(config.host.stateDirectory);
    state->ipLists.SetFirewallBlockDuration(
        std::chrono::seconds(config.config.firewallBlockDurationSeconds));
    for (const IpListManager::LoadProblem& problem : state->ipLists.LoadFromFiles()) {
        // Bad lines are skipped, the good ones kept: worth telling, not worth stopping.
        problems.push_back({problem.file, 0, 0, "skipped: " + problem.Describe()});
    }

    IPacketProcessor* engine = factory_(*state);
    if (engine == nullptr) {
        problems.push_back({configPath, 0, 0, "the engine could not be created"});
        return false;
    }
    state_ = std::move(state);
    engine_ = engine;
    config_ = config;
    configPath_ = configPath;
    stateDirectory_ = config.host.stateDirectory;
    HandOver(config);
    if (!engine_->Start()) {
        destroyer_(engine_);
        engine_ = nullptr;
        state_.reset();
        problems.push_back({configPath, 0, 0, "the engine did not start"});
        return false;
    }
    return true;
}

ReloadResult Daemon::Reload() {
    std::lock_guard lock(mutex_);
    ReloadResult result;
    if (engine_ == nullptr) {
        result.problems.push_back({configPath_, 0, 0, "the engine is not running"});
        return result;
    }
    ConfigLoad load = LoadConfigFile(configPath_);
    if (!load.config) {
        failedReloads_.fetch_add(1);
        result.problems = std::move(load.problems);
        Note("[⚠️] Configuration not reloaded, the running one stays: " +
             result.problems.front().Describe());
        return result;
    }
    HostConfig config = std::move(*load.config);
    // The state directory given on the command line stays in force, as at start; the
    // file's own then never applies, so its value is no news.
    const HostSettings& running = config_.host;
    if (!stateDirectoryGiven_ && config.host.stateDirectory != running.stateDirectory) {
        result.notes.push_back("host.stateDirectory changed: takes effect at the next start");
    }
    if (config.host.httpAddress != running.httpAddress ||
        config.host.httpPort != running.httpPort) {
        result.notes.push_back("host.httpAddress/httpPort changed: take effect at the next start");
    }
    if (config.host.apiHostName != running.apiHostName) {
        result.notes.push_back("host.apiHostName changed: takes effect at the next start");
    }
    config.host.stateDirectory = running.stateDirectory;
    config.host.httpAddress = running.httpAddress;
    config.host.httpPort = running.httpPort;
    config.host.apiHostName = running.apiHostName;
    state_->packetLog.SetCapacity(config.host.packetLogCapacity);

    HandOver(config);
    engine_->RefreshIcmpProtection();
    config_ = std::move(config);
    reloads_.fetch_add(1);
    Note("[ℹ️] Configuration reloaded from " + configPath_);
    result.applied = true;
    return result;
}

std::string Daemon::Stop() {
    std::lock_guard lock(mutex_);
    if (engine_ == nullptr) return "";
    engine_->Stop();
    std::string error;
    if (!state_->ipLists.FlushToFiles()) error = state_->ipLists.LastError();
    destroyer_(engine_);
    engine_ = nullptr;
    return error;
}

void Daemon::Note(std::string text) {
    PacketLogEntry entry;
    entry.time = WallTicksNow();
    entry.text = std::move(text);
    state_->packetLog.Push(std::move(entry));
}

HostConfig Daemon::Config() const {
    std::lock_guard lock(mutex_);
    return config_;
}

}  // namespace bastion
