// `bastion run`: the daemon's main loop. Signals are taken synchronously (blocked in every
// thread, collected with sigtimedwait on this one), so no handler runs at an arbitrary
// point: SIGINT/SIGTERM end the run, SIGHUP reloads the configuration.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "control/AtomicFile.h"
#include "control/Commands.h"
#include "control/ControlServer.h"
#include "control/CountingWorld.h"
#include "control/Daemon.h"
#include "control/HostConfig.h"
#include "divert/linux/LinuxWorld.h"
#include "divert/sim/SimWorld.h"
#include "platform/Clock.h"
#include "tools/HalfOpenTimeout.h"
#include "tools/ObservedWorld.h"
#include "tools/Scenario.h"
#include "tools/TrafficGenerator.h"

namespace bastion {

namespace {

std::string StatePath(const std::string& directory, const char* name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

bool WriteControlFile(const std::string& path, const std::string& address, uint16_t port,
                      bool tokenRequired, std::string& error) {
    nlohmann::ordered_json control{{"pid", static_cast<int64_t>(::getpid())},
                                   {"address", address},
                                   {"port", port},
                                   {"tokenRequired", tokenRequired}};
    AtomicFileWriter writer(path);
    if (writer.Open()) {
        writer.Write(control.dump(2) + "\n");
        if (writer.Commit()) return true;
    }
    error = writer.Error();
    return false;
}

// Stops the kernel world (and so removes its nftables table) on every way out of the run.
struct KernelWorldStop {
    std::shared_ptr<divert::linuxworld::LinuxWorld> world;
    ~KernelWorldStop() {
        if (world) world->Stop();
    }
};

// The kernel world's settings come from the file's host.linuxWorld; a file with problems
// gives the defaults here, and the daemon reports the problems when it starts.
divert::linuxworld::LinuxWorldOptions KernelWorldOptions(const std::string& configPath) {
    LinuxWorldSettings settings;
    ConfigLoad load = LoadConfigFile(configPath);
    if (load.config) settings = load.config->host.linuxWorld;
    divert::linuxworld::LinuxWorldOptions options;
    options.failOpen = settings.failOpen;
    options.firstQueue = settings.firstQueue;
    options.queueCount = settings.queueCount;
    options.graceNs = int64_t{settings.heldGraceMs} * kNsPerMs;
    options.coalesceNs = int64_t{settings.readGatherUs} * 1000;
    // The capture workers send back what passes before they receive into the same buffer
    // set again: what they left unsent is dropped then, not held for the grace period.
    options.releaseUnsentOnReceive = true;
    return options;
}

// `--scenario`: the demo's traffic generator drives the simulated network, so the daemon
// (its status, metrics, lists, reloads and shutdown) can be watched under load without a
// real network. The traffic goes to the sim's server address on TCP 80 and 443 and UDP
// 27015; once the scenario's time is up the network is quiet again.
class ScenarioTraffic {
  public:
    ScenarioTraffic(std::shared_ptr<tools::ObservedWorld> world, tools::Scenario scenario)
        : world_(std::move(world)), scenario_(std::move(scenario)) {
        tools::GeneratorOptions options;
        options.server = world_->Sim().LocalAddress();
        for (uint16_t port : options.tcpPorts)
            world_->Sim().Stack().Listen(port);
        generator_ = std::make_unique<tools::TrafficGenerator>(options);
        halfOpen_ = std::make_unique<tools::HalfOpenTimeout>(world_->Sim().Stack());
        world_->SetObserver(generator_.get());
    }
    ~ScenarioTraffic() { Stop(); }
    ScenarioTraffic(const ScenarioTraffic&) = delete;
    ScenarioTraffic& operator=(const ScenarioTraffic&) = delete;

    void Start() {
        started_ = std::chrono::steady_clock::now();
        generator_->Start(scenario_);
    }
    // Called about once a second by the signal loop.
    void Tick() {
        halfOpen_->Run(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    }
    bool Finished() const { return generator_->Finished(); }
    const std::string& Name() const { return scenario_.name; }
    // Joins the generator's threads; the world stops reporting to it.
    void Stop() {
        if (!generator_) return;
        generator_->Stop();
        world_->SetObserver(nullptr);
    }

  private:
    std::shared_ptr<tools::ObservedWorld> world_;
    tools::Scenario scenario_;
    std::unique_ptr<tools::TrafficGenerator> generator_;
    std::unique_ptr<tools::HalfOpenTimeout> halfOpen_;
    std::chrono::steady_clock::time_point started_;
};

std::string StatusLine(ControlServer& server) {
    MetricsSnapshot s = server.Snapshot();
    char line[200];
    std::snprintf(
        line, sizeof line,
        "pps %.0f | drops/s %.0f | connections %llu | blocked %llu | log drops %lld",
        s.metrics.currentPps + s.metrics.udpPps + s.metrics.icmpPps, s.metrics.currentDropPerSec,
        static_cast<unsigned long long>(s.metrics.activeConnections),
        static_cast<unsigned long long>(s.blockListed), static_cast<long long>(s.droppedLogEvents));
    return line;
}

}  // namespace

int RunCommand(const RunOptions& options, PacketProcessorFactory factory,
               PacketProcessorDestroyer destroyer, std::ostream& err) {
    if (options.world != "sim" && options.world != "linux") {
        err << "bastion: unknown world \"" << options.world << "\" (sim or linux)\n";
        return 2;
    }
    std::optional<tools::Scenario> scenario;
    if (!options.scenario.empty()) {
        if (options.world != "sim") {
            err << "bastion: --scenario drives the simulated network; it needs --world sim\n";
            return 2;
        }
        std::string error;
        scenario = tools::LoadScenario(options.scenario, &error);
        if (!scenario) {
            err << "bastion: " << error << '\n';
            return 2;
        }
    }
    // Before any thread exists, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &signals, &previousMask);

    // The world starts after the mask is set: its reader threads inherit it.
    std::shared_ptr<divert::World> inner;
    KernelWorldStop kernel;
    std::unique_ptr<ScenarioTraffic> traffic;
    if (options.world == "linux") {
        kernel.world = std::make_shared<divert::linuxworld::LinuxWorld>(
            KernelWorldOptions(options.configPath));
        std::string error;
        const divert::linuxworld::StartError started = kernel.world->Start(&error);
        if (started != divert::linuxworld::StartError::None) {
            err << "bastion: " << error << '\n';
            pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
            return started == divert::linuxworld::StartError::NoPrivilege ? 4 : 1;
        }
        inner = kernel.world;
    } else if (scenario) {
        auto observed = std::make_shared<tools::ObservedWorld>(divert::sim::SimConfig{});
        traffic = std::make_unique<ScenarioTraffic>(observed, *scenario);
        inner = observed;
    } else {
        auto sim = std::make_shared<divert::sim::SimWorld>(divert::sim::SimConfig{});
        sim->SetRecording(false);
        inner = sim;
    }
    auto world = std::make_shared<CountingWorld>(inner);
    divert::SetWorld(world);

    int status = 0;
    {
        Daemon daemon(factory, destroyer);
        std::vector<ConfigProblem> problems;
        bool started = daemon.Start(options.configPath, options.stateDirectory, problems);
        for (const ConfigProblem& problem : problems)
            err << problem.Describe() << '\n';
        if (!started) {
            err << "bastion: not started\n";
            divert::SetWorld(nullptr);
            pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
            return 1;
        }
        HostConfig config = daemon.Config();
        std::string token;
        std::string error;
        bool tokenRequired = !IsLoopbackAddress(config.host.httpAddress);
        if (tokenRequired) {
            token = LoadOrCreateToken(StatePath(daemon.StateDirectory(), "api-token"), error);
        }
        std::shared_ptr<divert::linuxworld::LinuxWorld> kernelWorld = kernel.world;
        ControlServer server(daemon, [world, kernelWorld] {
            DivertTotals totals = world->Totals();
            if (kernelWorld) {
                const divert::linuxworld::LinuxLosses losses = kernelWorld->Losses();
                totals.kernelQueueFull = losses.kernelDropped;
                totals.socketOverrun = losses.socketDropped;
                totals.heldTimeout = losses.heldExpired;
                totals.heldAtClose = losses.heldAtClose;
                totals.releasedUnsent = losses.releasedUnsent;
            }
            return totals;
        });
        const std::string controlPath = StatePath(daemon.StateDirectory(), "control.json");
        if (!error.empty() ||
            !server.Start(config.host.httpAddress, config.host.httpPort, token, error) ||
            !WriteControlFile(controlPath, config.host.httpAddress, server.Port(), tokenRequired,
                              error)) {
            err << "bastion: " << error << '\n';
            server.Stop();
            daemon.Stop();
            divert::SetWorld(nullptr);
            pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
            return 1;
        }

        const bool terminal = ::isatty(STDOUT_FILENO) == 1;
        if (terminal) {
            std::printf("bastion: running with %s; control on http://%s:%u (Ctrl-C stops)\n",
                        options.configPath.c_str(), config.host.httpAddress.c_str(),
                        static_cast<unsigned>(server.Port()));
        }
        if (traffic) {
            traffic->Start();
            if (terminal) {
                std::printf("bastion: scenario \"%s\" drives the simulated network\n",
                            traffic->Name().c_str());
            }
        }
        bool trafficOver = false;
        for (;;) {
            timespec second{1, 0};
            int signal = sigtimedwait(&signals, nullptr, &second);
            if (signal == SIGINT || signal == SIGTERM) break;
            if (signal == SIGHUP) {
                ReloadResult result = daemon.Reload();
                for (const ConfigProblem& problem : result.problems) {
                    err << problem.Describe() << '\n';
                }
                if (!result.applied) {
                    err << "bastion: configuration not reloaded; the running one stays\n";
                }
                for (const std::string& note : result.notes)
                    err << "bastion: " << note << '\n';
                if (terminal && result.applied) {
                    std::printf("\r\033[Kbastion: configuration reloaded\n");
                }
            }
            if (traffic && !trafficOver) {
                traffic->Tick();
                trafficOver = traffic->Finished();
                if (trafficOver && terminal) {
                    std::printf("\r\033[Kbastion: scenario \"%s\" is over; no more traffic\n",
                                traffic->Name().c_str());
                }
            }
            if (terminal) {
                std::printf("\r\033[K%s", StatusLine(server).c_str());
                std::fflush(stdout);
            }
        }
        if (terminal) std::printf("\r\033[Kbastion: stopping\n");
        server.Stop();
        // The engine stops with the scenario's traffic still flowing, as it would on a
        // real network; the generator is stopped after it.
        if (std::string flushError = daemon.Stop(); !flushError.empty()) {
            err << "bastion: the lists were not saved: " << flushError << '\n';
            status = 1;
        }
        if (traffic) traffic->Stop();
        ::unlink(controlPath.c_str());
    }
    divert::SetWorld(nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return status;
}

}  // namespace bastion
