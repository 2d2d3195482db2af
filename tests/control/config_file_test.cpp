// The configuration file: the shipped file, every class of problem with its position,
// defaults, and the writer's output read back.
#include <gtest/gtest.h>

#include <string>

#include "control/HostConfig.h"

namespace bastion {
namespace {

struct ProblemCase {
    const char* what;
    const char* text;
    size_t line;
    size_t column;
    const char* message;  // a part of the message
};

// Every case holds exactly one problem, so the position is unambiguous.
const ProblemCase kProblemCases[] = {
    {"syntax: missing comma", "{\n  \"tcp\": {\"enabled\": true\n  \"udp\": {}}\n}", 3, 7,
     "syntax error"},
    {"syntax: end of input", "{\"tcp\": {", 1, 10, "unexpected end of input"},
    {"syntax: trailing comma", "{\"logging\": {\"fileLog\": true,}}", 1, 30, "syntax error"},
    {"unknown top-level key", "{\n  \"tpc\": {}\n}", 2, 3,
     "unknown key \"tpc\" (did you mean \"tcp\"?)"},
    {"unknown nested key", "{\"tcp\": {\"port\": [80]}}", 1, 10,
     "unknown key \"port\" in tcp (did you mean \"ports\"?)"},
    {"unknown key in a rule", "{\"tcp\": {\"rules\": [\n  {\"kind\": 0, \"drop\": 5}]}}", 2, 15,
     "unknown key \"drop\" in tcp.rules[0]"},
    {"key of another advanced type",
     "{\"tcp\": {\"advancedRules\": [{\"type\": \"SpoofCheck\", \"idleSeconds\": 3}]}}", 1, 51,
     "\"idleSeconds\" does not apply to a SpoofCheck rule"},
    {"wrong type: string for boolean", "{\"tcp\": {\"enabled\": \"yes\"}}", 1, 21,
     "tcp.enabled: expected true or false, found a string"},
    {"wrong type: fraction for a count", "{\"firewallBlockDurationSeconds\": 1.5}", 1, 34,
     "expected a whole number, found the number 1.5"},
    {"wrong type: object for a list", "{\"udp\": {\"rules\": {}}}", 1, 19, "expected a list"},
    {"wrong type: top level", "[1, 2]", 1, 1, "expected an object"},
    {"out of range: port", "{\"tcp\": {\"ports\": [80,\n 65536]}}", 2, 2,
     "tcp.ports[1]: 65536 is out of range (0 to 65535)"},
    {"out of range: negative duration", "{\"firewallBlockDurationSeconds\": -5}", 1, 34,
     "-5 is out of range"},
    {"out of range: port rule port 0",
     "{\"tcp\": {\"portRules\": {\"synRate\": [{\"port\": 0, \"dropThreshold\": 1}]}}}", 1, 45,
     "tcp.portRules.synRate[0].port: 0 is out of range (1 to 65535)"},
    {"out of range: uint32 field",
     "{\"icmp\": {\"advancedRules\": [{\"type\": \"InvalidIcmp\", \"maxSize\": 70000}]}}", 1, 64,
     "is out of range"},
    {"out of range: rule kind number", "{\"udp\": {\"rules\": [{\"kind\": 3}]}}", 1, 29,
     "3 is out of range (7 to 11)"},
    {"unknown rule kind", "{\"tcp\": {\"rules\": [{\"kind\": \"IpPacketRat\"}]}}", 1, 29,
     "unknown rule kind \"IpPacketRat\" (did you mean \"IpPacketRate\"?)"},
    {"rule kind of another protocol", "{\"icmp\": {\"rules\": [{\"kind\": \"UdpIpPacketRate\"}]}}",
     1, 30, "\"UdpIpPacketRate\" is a UDP kind; ICMP rules take IcmpIpPacketRate"},
    {"missing rule kind", "{\"tcp\": {\"rules\": [\n    {\"name\": \"x\"}]}}", 2, 5,
     "missing \"kind\""},
    {"unknown advanced type", "{\"udp\": {\"advancedRules\": [{\"type\": \"Amplify\"}]}}", 1, 37,
     "unknown rule type \"Amplify\""},
    {"second rule of one type",
     "{\"tcp\": {\"advancedRules\": [{\"type\": 3},\n {\"type\": \"SpoofCheck\"}]}}", 2, 2,
     "only the first rule of each type takes effect"},
    {"duplicate key",
     "{\"firewallBlockDurationSeconds\": 1,\n \"firewallBlockDurationSeconds\": 2}", 1, 2,
     "duplicate key firewallBlockDurationSeconds"},
    {"not an address", "{\"udp\": {\"targetAddress\": \"10.0.0.256\"}}", 1, 27,
     "\"10.0.0.256\" is not an IPv4 address"},
    {"columns count characters, not bytes",
     "{\"tcp\": {\"rules\": [{\"name\": \"Giới hạn\", \"kind\": 0, \"enabled\": 1}]}}", 1, 63,
     "tcp.rules[0].enabled: expected true or false, found the number 1"},
};

TEST(ConfigFileTest, EveryProblemClassNamesItsLineAndColumn) {
    for (const ProblemCase& c : kProblemCases) {
        SCOPED_TRACE(c.what);
        ConfigLoad load = ParseConfig(c.text, "test.json");
        EXPECT_FALSE(load.config.has_value());
        ASSERT_EQ(load.problems.size(), 1u) << load.problems.front().Describe();
        const ConfigProblem& problem = load.problems.front();
        EXPECT_EQ(problem.line, c.line) << problem.Describe();
        EXPECT_EQ(problem.column, c.column) << problem.Describe();
        EXPECT_NE(problem.message.find(c.message), std::string::npos) << problem.Describe();
        EXPECT_EQ(
            problem.Describe().rfind(
                "test.json:" + std::to_string(c.line) + ":" + std::to_string(c.column) + ": ", 0),
            0u);
    }
}

TEST(ConfigFileTest, ReportsEveryProblemInTextOrder) {
    ConfigLoad load = ParseConfig(R"({
  "tcp": {"enabled": 1, "rules": [{"kind": "Nope"}]},
  "logging": {"fileLogs": true},
  "host": {"httpPort": -1}
})",
                                  "f.json");
    ASSERT_EQ(load.problems.size(), 4u);
    EXPECT_EQ(load.problems[0].column, 22u);  // enabled
    EXPECT_EQ(load.problems[1].column, 44u);  // kind
    EXPECT_EQ(load.problems[2].line, 3u);
    EXPECT_EQ(load.problems[3].line, 4u);
}

TEST(ConfigFileTest, LinuxWorldSettingsAreReadAndChecked) {
    ConfigLoad load = ParseConfig(
        R"({"host": {"linuxWorld": {"failOpen": false, "firstQueue": 10, "heldGraceMs": 250,
                                    "readGatherUs": 0}}})",
        "w.json");
    ASSERT_TRUE(load.config.has_value()) << load.problems.front().Describe();
    const LinuxWorldSettings& w = load.config->host.linuxWorld;
    EXPECT_FALSE(w.failOpen);
    EXPECT_EQ(w.firstQueue, 10);
    EXPECT_EQ(w.queueCount, 2);  // default kept
    EXPECT_EQ(w.heldGraceMs, 250u);
    EXPECT_EQ(w.readGatherUs, 0u);
    EXPECT_EQ(ParseConfig(ConfigToJsonText(*load.config), "back.json").config, load.config);

    load = ParseConfig(
        R"({"host": {"linuxWorld": {"queueCount": 0, "failOpen": "yes", "readGatherUs": 10001}}})",
        "x");
    EXPECT_EQ(load.problems.size(), 3u);
    load = ParseConfig(R"({"host": {"linuxWorld": {"firstQueue": 65535, "queueCount": 2}}})", "y");
    ASSERT_EQ(load.problems.size(), 1u);
    EXPECT_NE(load.problems[0].message.find("within 0 to 65535"), std::string::npos);
    load = ParseConfig(R"({"host": {"linuxWorld": {"failopen": true}}})", "z");
    ASSERT_EQ(load.problems.size(), 1u);
    EXPECT_NE(load.problems[0].message.find("unknown key \"failopen\""), std::string::npos);
}

TEST(ConfigFileTest, AnEmptyObjectGivesTheRecordDefaults) {
    ConfigLoad load = ParseConfig("{}", "empty.json");
    ASSERT_TRUE(load.config.has_value());
    EXPECT_EQ(*load.config, HostConfig{});
    EXPECT_EQ(load.config->host.httpAddress, "127.0.0.1");
    EXPECT_EQ(load.config->host.httpPort, 9810);
}

TEST(ConfigFileTest, RulesAreOnUnlessSwitchedOffAndKindsReadAsNamesOrNumbers) {
    ConfigLoad load = ParseConfig(R"({
  // comments are allowed
  "tcp": {"rules": [{"kind": "IpSynRate", "dropThreshold": 7},
                    {"kind": 3, "enabled": false}],
          "portRules": {"packetRate": [{"port": 443, "blockThreshold": 9}]},
          "advancedRules": [{"type": 5}]},
  /* block comment */
  "udp": {"ports": [53, 0, 53], "advancedRules": [{"type": "Amplification",
          "amplificationPorts": [123, 53]}]}
})",
                                  "c.json");
    ASSERT_TRUE(load.config.has_value()) << load.problems.front().Describe();
    const HostConfig& c = *load.config;
    ASSERT_EQ(c.rules.size(), 2u);
    EXPECT_EQ(c.rules[0].kind, static_cast<int32_t>(RuleKind::IpSynRate));
    EXPECT_TRUE(c.rules[0].enabled);
    EXPECT_EQ(c.rules[0].dropThreshold, 7u);
    EXPECT_EQ(c.rules[1].kind, static_cast<int32_t>(RuleKind::IpSynRate));
    EXPECT_FALSE(c.rules[1].enabled);
    ASSERT_EQ(c.portPpsRules.size(), 1u);
    EXPECT_EQ(c.portPpsRules[0], (PortRuleDefinition{true, 443, 0, 9}));
    ASSERT_EQ(c.advancedRules.size(), 1u);
    EXPECT_EQ(c.advancedRules[0].type, static_cast<uint32_t>(AdvancedRuleType::SynAckProtection));
    EXPECT_EQ(c.config.udpPorts, (std::set<uint16_t>{0, 53}));
    ASSERT_EQ(c.udpAdvancedRules.size(), 1u);
    EXPECT_EQ(c.udpAdvancedRules[0].amplificationPorts, (std::set<uint16_t>{53, 123}));
}

TEST(ConfigFileTest, ShippedFileLoadsWithWebServerDefaults) {
    ConfigLoad load = LoadConfigFile(BASTION_SOURCE_DIR "/config/bastion.json");
    ASSERT_TRUE(load.config.has_value())
        << (load.problems.empty() ? "" : load.problems.front().Describe());
    const HostConfig& c = *load.config;
    EXPECT_TRUE(c.config.tcpEnabled);
    EXPECT_EQ(c.config.tcpPorts, (std::set<uint16_t>{80, 443}));
    EXPECT_TRUE(c.config.fileLogEnabled);
    EXPECT_EQ(c.host.httpAddress, "127.0.0.1");
    EXPECT_FALSE(c.rules.empty());
    // Every protection module is present and on.
    for (uint32_t type : {2u, 3u, 4u, 5u}) {
        bool found = false;
        for (const AdvancedRuleDefinition& rule : c.advancedRules) {
            if (rule.type == type) found = rule.enabled;
        }
        EXPECT_TRUE(found) << "advanced rule type " << type;
    }
    EXPECT_EQ(c.udpAdvancedRules.size(), 2u);
    EXPECT_EQ(c.icmpAdvancedRules.size(), 1u);
    // UDP rules decide in list order: a drop listed before a block would let a flood that
    // the drop catches go on unblocked for good.
    bool dropSeen = false;
    for (const RuleDefinition& rule : c.udpRules) {
        EXPECT_FALSE(rule.blockThreshold != 0 && dropSeen) << rule.name;
        dropSeen = dropSeen || rule.dropThreshold != 0;
    }
}

TEST(ConfigFileTest, WrittenConfigurationReadsBackEqual) {
    ConfigLoad shipped = LoadConfigFile(BASTION_SOURCE_DIR "/config/bastion.json");
    ASSERT_TRUE(shipped.config.has_value());
    HostConfig config = *shipped.config;
    config.rules.push_back({2, "quoted \"name\" / ~", "note", false, 1, 2, 3});
    config.config.udpTargetAddress = "0.0.0.0";
    config.host.apiHostName = "api.example.net";
    ConfigLoad back = ParseConfig(ConfigToJsonText(config), "written.json");
    ASSERT_TRUE(back.config.has_value()) << back.problems.front().Describe();
    EXPECT_EQ(*back.config, config);
}

TEST(ConfigFileTest, UnreadableFileIsOneProblemWithoutPosition) {
    ConfigLoad load = LoadConfigFile("/nonexistent/bastion.json");
    ASSERT_EQ(load.problems.size(), 1u);
    EXPECT_EQ(load.problems[0].line, 0u);
    EXPECT_EQ(load.problems[0].Describe(),
              "/nonexistent/bastion.json: cannot open: No such file or directory (errno 2)");
}

}  // namespace
}  // namespace bastion
