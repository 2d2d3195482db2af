// The demo and replay subcommands refuse bad arguments and unreadable files with exit
// status 2 before anything runs.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "host/Factory.h"
#include "tools/ToolCommands.h"

namespace bastion {
namespace {

int RunTool(std::vector<std::string> args) {
    CLI::App app;
    int exitCode = -1;
    AddToolCommands(app, &CreatePacketProcessor, &DestroyPacketProcessor, exitCode);
    std::vector<const char*> argv = {"bastion"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return exitCode;
}

TEST(ToolCommandsTest, BadInputsEndWithStatusTwo) {
    const std::string config = BASTION_SOURCE_DIR "/config/bastion.json";
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunTool({"demo", "--scenario", "no-such-scenario", "--config", config}), 2);
    EXPECT_EQ(RunTool({"demo", "--config", "/nonexistent/bastion.json"}), 2);
    EXPECT_EQ(RunTool({"replay", "/nonexistent/capture.pcap", "--config", config}), 2);
    EXPECT_EQ(RunTool({"replay", "x.pcap", "--server", "not-an-address", "--config", config}), 2);
    const std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_NE(messages.find("bastion demo: \"no-such-scenario\" is neither a built-in scenario"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("bastion demo: /nonexistent/bastion.json"), std::string::npos)
        << messages;
    EXPECT_NE(messages.find("bastion replay: cannot read /nonexistent/capture.pcap"),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find("--server not-an-address is not an IPv4 address"), std::string::npos)
        << messages;
}

}  // namespace
}  // namespace bastion
