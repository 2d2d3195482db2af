#include "tools/ToolCommands.h"

#include <iostream>
#include <memory>

#include "control/HostConfig.h"
#include "divert/sim/PacketBuilder.h"
#include "tools/Demo.h"
#include "tools/Replay.h"

namespace bastion {
namespace {

constexpr const char* kShippedConfig = "config/bastion.json";

// The configuration the tools run the engine with; null (with the problems on stderr)
// when the file is missing or invalid.
std::unique_ptr<HostConfig> LoadSetup(const std::string& path, const char* command) {
    ConfigLoad load = LoadConfigFile(path);
    if (!load.config) {
        for (const ConfigProblem& p : load.problems)
            std::cerr << "bastion " << command << ": " << p.Describe() << "\n";
        if (path == kShippedConfig) {
            std::cerr << "bastion " << command
                      << ": run from the source tree, or give the configuration with --config\n";
        }
        return nullptr;
    }
    return std::make_unique<HostConfig>(std::move(*load.config));
}

struct DemoArgs {
    std::string scenario = "mixed";
    double seconds = 0;
    std::string config = kShippedConfig;
    unsigned threads = 1;
};

struct ReplayArgs {
    std::string capture;
    std::string config = kShippedConfig;
    std::vector<std::string> servers;
    double speed = 1.0;
    std::string report, passed, dropped;
};

}  // namespace

void AddToolCommands(CLI::App& app, PacketProcessorFactory factory,
                     PacketProcessorDestroyer destroyer, int& exitCode) {
    auto demoArgs = std::make_shared<DemoArgs>();
    CLI::App* demo = app.add_subcommand(
        "demo",
        "Run the engine on a simulated network under legitimate users and attacks; prints a "
        "line per second and a summary");
    std::string names;
    for (const std::string& n : tools::BuiltinScenarioNames())
        names += (names.empty() ? "" : ", ") + n;
    demo->add_option("--scenario", demoArgs->scenario,
                     "a built-in scenario (" + names + ") or a scenario JSON file")
        ->capture_default_str();
    demo->add_option("--seconds", demoArgs->seconds,
                     "length of the run; the scenario's timeline is stretched to it "
                     "(default: the scenario's own, 30 s for mixed)")
        ->check(CLI::PositiveNumber);
    demo->add_option("--config", demoArgs->config, "the configuration file")->capture_default_str();
    demo->add_option("--threads", demoArgs->threads, "traffic generator threads")
        ->check(CLI::Range(1u, 16u))
        ->capture_default_str();
    demo->callback([demoArgs, factory, destroyer, &exitCode] {
        std::string error;
        auto scenario = tools::LoadScenario(demoArgs->scenario, &error);
        if (!scenario) {
            std::cerr << "bastion demo: " << error << "\n";
            exitCode = 2;
            return;
        }
        auto setup = LoadSetup(demoArgs->config, "demo");
        if (!setup) {
            exitCode = 2;
            return;
        }
        tools::DemoOptions options;
        options.scenario =
            demoArgs->seconds > 0 ? scenario->ScaledTo(demoArgs->seconds) : *scenario;
        options.threads = demoArgs->threads;
        exitCode = tools::RunDemo(options, *setup, factory, destroyer, std::cout, std::cerr);
    });

    auto replayArgs = std::make_shared<ReplayArgs>();
    CLI::App* replay = app.add_subcommand(
        "replay",
        "Feed a capture through the engine on a simulated network and report what it would "
        "have passed and dropped");
    replay->add_option("FILE", replayArgs->capture, "the capture (libpcap format)")->required();
    replay->add_option("--config", replayArgs->config, "the configuration file")
        ->capture_default_str();
    replay->add_option("--server", replayArgs->servers,
                       "the protected server's addresses (default: the capture's most "
                       "frequent destination)");
    replay
        ->add_option("--speed", replayArgs->speed,
                     "pace relative to the capture's time stamps (2 = twice as fast)")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    replay->add_option("--report", replayArgs->report, "write the JSON report to this file");
    replay->add_option("--passed", replayArgs->passed, "write the passed packets as a capture");
    replay->add_option("--dropped", replayArgs->dropped, "write the dropped packets as a capture");
    replay->callback([replayArgs, factory, destroyer, &exitCode] {
        tools::ReplayOptions options;
        options.capturePath = replayArgs->capture;
        options.speed = replayArgs->speed;
        options.reportPath = replayArgs->report;
        options.passedPath = replayArgs->passed;
        options.droppedPath = replayArgs->dropped;
        for (const std::string& text : replayArgs->servers) {
            const uint32_t address = divert::sim::Ipv4(text);
            if (address == 0) {
                std::cerr << "bastion replay: --server " << text
                          << " is not an IPv4 address (a.b.c.d)\n";
                exitCode = 2;
                return;
            }
            options.servers.push_back(address);
        }
        auto setup = LoadSetup(replayArgs->config, "replay");
        if (!setup) {
            exitCode = 2;
            return;
        }
        exitCode = tools::RunReplay(options, *setup, factory, destroyer, std::cout, std::cerr);
    });
}

}  // namespace bastion
