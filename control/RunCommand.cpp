// `bastion run`: the daemon's main loop. Signals are taken synchronously (blocked in every
// thread, collected with sigtimedwait on this one), so no handler runs at an arbitrary
// point: SIGINT/SIGTERM end the run, SIGHUP reloads the configuration.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "control/AtomicFile.h"
#include "control/Commands.h"
#include "control/ControlServer.h"
#include "control/CountingWorld.h"
#include "control/Daemon.h"
#include "control/HostConfig.h"
#include "divert/linux/LinuxWorld.h"
#include "divert/sim/SimWorld.h"
#include "platform/Clock.h"

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
    // The capture workers send back what passes before they receive into the same buffer
    // set again: what they left unsent is dropped then, not held for the grace period.
    options.releaseUnsentOnReceive = true;
    return options;
}

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
            if (terminal) {
                std::printf("\r\033[K%s", StatusLine(server).c_str());
                std::fflush(stdout);
            }
        }
        if (terminal) std::printf("\r\033[Kbastion: stopping\n");
        server.Stop();
        if (std::string flushError = daemon.Stop(); !flushError.empty()) {
            err << "bastion: the lists were not saved: " << flushError << '\n';
            status = 1;
        }
        ::unlink(controlPath.c_str());
    }
    divert::SetWorld(nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return status;
}

}  // namespace bastion
