// The command line: `bastion <subcommand>`. Each subcommand's work lives in its own file;
// this one only declares the options and dispatches.
#include "control/BastionMain.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "control/Commands.h"
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
