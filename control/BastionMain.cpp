// The command line: `bastion <subcommand>`. Each subcommand's work lives in its own file;
// this one only declares the options and dispatches.
#include "control/BastionMain.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "control/Commands.h"
#include "tools/Scenario.h"
#include "tools/ToolCommands.h"

namespace bastion {

int BastionMain(HINSTANCE instance, int showCommand, PacketProcessorFactory factory,
                PacketProcessorDestroyer destroyer) {
    (void)showCommand;
    int argc = instance != nullptr ? instance->argc : 0;
    char** argv = instance != nullptr ? instance->argv : nullptr;

    CLI::App app{"Bastion: inline flood protection for a server's inbound IPv4 traffic.",
                 "bastion"};
    app.require_subcommand(0, 1);
    int exitCode = 0;

    std::string checkFile;
    CLI::App* check = app.add_subcommand(
        "check-config",
        "Validate a configuration file; prints file:line:column: message per problem");
    check->add_option("FILE", checkFile, "the configuration file")->required();
    check->callback([&] { exitCode = CheckConfigCommand(checkFile, std::cout, std::cerr); });

    RunOptions run;
    CLI::App* runCommand = app.add_subcommand(
        "run", "Run the daemon until SIGINT or SIGTERM; SIGHUP re-reads the configuration");
    runCommand->add_option("--config", run.configPath, "the configuration file")
        ->capture_default_str();
    runCommand->add_option("--world", run.world, "where packets come from")
        ->check(CLI::IsMember({"sim", "linux"}))
        ->capture_default_str();
    std::string scenarioNames;
    for (const std::string& name : tools::BuiltinScenarioNames())
        scenarioNames += (scenarioNames.empty() ? "" : ", ") + name;
    runCommand->add_option("--scenario", run.scenario,
                           "with --world sim: traffic for the simulated network, a built-in "
                           "scenario (" +
                               scenarioNames +
                               ") or a scenario JSON file; it runs once, then the network is "
                               "quiet");
    runCommand->add_option("--state-dir", run.stateDirectory,
                           "directory of the lists and the control token (default: the "
                           "configuration's host.stateDirectory)");
    runCommand->callback([&] { exitCode = RunCommand(run, factory, destroyer, std::cerr); });

    std::string stateDirectory = "state";
    std::string list;
    std::string action;
    std::string address;
    CLI::App* lists = app.add_subcommand(
        "lists",
        "Show or change the allow and block lists (through the running daemon when "
        "there is one, else in the state directory's files)");
    lists->add_option("LIST", list, "allow or block")
        ->required()
        ->check(CLI::IsMember({"allow", "block"}));
    lists->add_option("ACTION", action, "add, remove or show")
        ->required()
        ->check(CLI::IsMember({"add", "remove", "show"}));
    lists->add_option("ADDRESS", address, "an IPv4 address (add and remove)");
    lists->add_option("--state-dir", stateDirectory, "the daemon's state directory")
        ->capture_default_str();
    lists->callback([&] {
        if (action != "show" && address.empty()) {
            throw CLI::ValidationError("ADDRESS", "add and remove need an address");
        }
        exitCode = ListsCommand(list, action, address, stateDirectory, std::cout, std::cerr);
    });

    bool asJson = false;
    CLI::App* status = app.add_subcommand("status", "Show the running daemon's status");
    status->add_flag("--json", asJson, "print the status as JSON");
    status->add_option("--state-dir", stateDirectory, "the daemon's state directory")
        ->capture_default_str();
    status->callback(
        [&] { exitCode = StatusCommand(asJson, stateDirectory, std::cout, std::cerr); });

    AddToolCommands(app, factory, destroyer, exitCode);

    if (argc <= 1) {
        std::cout << app.help();
        return 0;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    if (app.get_subcommands().empty()) {
        std::cout << app.help();
        return 0;
    }
    return exitCode;
}

}  // namespace bastion
