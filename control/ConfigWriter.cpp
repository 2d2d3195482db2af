// Writing a HostConfig in the file's own format (for GET /api/config and for tests that
// read it back).
#include <nlohmann/json.hpp>

#include "control/ConfigNames.h"
#include "control/HostConfig.h"

namespace bastion {

namespace {

using ojson = nlohmann::ordered_json;

ojson Ports(const std::set<uint16_t>& ports) {
    ojson list = ojson::array();
    for (uint16_t port : ports)
        list.push_back(port);
    return list;
}

// A kind or type by name when it has one, else by number.
template <class T>
ojson NameOrNumber(const char* name, T value) {
    return name != nullptr ? ojson(name) : ojson(value);
}

ojson Rules(const std::vector<RuleDefinition>& rules) {
    ojson list = ojson::array();
    for (const RuleDefinition& rule : rules) {
        list.push_back({{"kind", NameOrNumber(RuleKindName(rule.kind), rule.kind)},
                        {"name", rule.name},
                        {"description", rule.description},
                        {"enabled", rule.enabled},
                        {"parameter", rule.parameter},
                        {"dropThreshold", rule.dropThreshold},
                        {"blockThreshold", rule.blockThreshold}});
    }
    return list;
}

ojson PortRules(const std::vector<PortRuleDefinition>& rules) {
    ojson list = ojson::array();
    for (const PortRuleDefinition& rule : rules) {
        list.push_back({{"port", rule.port},
                        {"enabled", rule.enabled},
                        {"dropThreshold", rule.dropThreshold},
                        {"blockThreshold", rule.blockThreshold}});
    }
    return list;
}

// Keeps only the fields of `rule`'s type (the others do not apply to it).
ojson OnlyFields(ojson rule, const TypeTable& table, uint32_t type) {
    const std::vector<std::string_view>& fields = TypeFields(table, type);
    ojson kept;
    for (auto& [key, value] : rule.items()) {
        bool common = key == "type" || key == "name" || key == "description" || key == "enabled";
        bool own = std::find(fields.begin(), fields.end(), key) != fields.end();
        if (common || own) kept[key] = value;
    }
    return kept;
}

ojson AdvancedRules(const std::vector<AdvancedRuleDefinition>& rules) {
    ojson list = ojson::array();
    for (const AdvancedRuleDefinition& rule : rules) {
        ojson all{{"type", NameOrNumber(AdvancedRuleTypeName(rule.type), rule.type)},
                  {"name", rule.name},
                  {"description", rule.description},
                  {"enabled", rule.enabled},
                  {"threshold", rule.threshold},
                  {"idleViolationLimit", rule.idleViolationLimit},
                  {"idleSeconds", rule.idleSeconds},
                  {"windowSeconds", rule.windowSeconds},
                  {"learningWindowSeconds", rule.learningWindowSeconds},
                  {"minHitsNoPayload", rule.minHitsNoPayload},
                  {"minHitsPayload", rule.minHitsPayload},
                  {"ruleTtlNoPayloadSeconds", rule.ruleTtlNoPayloadSeconds},
                  {"ruleTtlPayloadSeconds", rule.ruleTtlPayloadSeconds},
                  {"minSourcesNoPayload", rule.minSourcesNoPayload},
                  {"minSourcesPayload", rule.minSourcesPayload},
                  {"maxRulesNoPayload", rule.maxRulesNoPayload},
                  {"maxRulesPayload", rule.maxRulesPayload},
                  {"learnNoPayload", rule.learnNoPayload},
                  {"learnPayload", rule.learnPayload},
                  {"learnSpoofedNoPayload", rule.learnSpoofedNoPayload},
                  {"learnSpoofedPayload", rule.learnSpoofedPayload},
                  {"allowancePerSecond", rule.allowancePerSecond},
                  {"rejectSynPayload", rule.rejectSynPayload}};
        list.push_back(OnlyFields(std::move(all), TcpAdvancedTypes(), rule.type));
    }
    return list;
}

ojson UdpAdvancedRules(const std::vector<UdpAdvancedRuleDefinition>& rules) {
    ojson list = ojson::array();
    for (const UdpAdvancedRuleDefinition& rule : rules) {
        ojson all{{"type", NameOrNumber(UdpAdvancedRuleTypeName(rule.type), rule.type)},
                  {"name", rule.name},
                  {"enabled", rule.enabled},
                  {"amplificationPorts", Ports(rule.amplificationPorts)},
                  {"peerTimeoutSeconds", rule.peerTimeoutSeconds},
                  {"rejectEmptyPayload", rule.rejectEmptyPayload}};
        list.push_back(OnlyFields(std::move(all), UdpAdvancedTypes(), rule.type));
    }
    return list;
}

ojson IcmpAdvancedRules(const std::vector<IcmpAdvancedRuleDefinition>& rules) {
    ojson list = ojson::array();
    for (const IcmpAdvancedRuleDefinition& rule : rules) {
        ojson all{{"type", NameOrNumber(IcmpAdvancedRuleTypeName(rule.type), rule.type)},
                  {"name", rule.name},
                  {"enabled", rule.enabled},
                  {"rejectTtlOne", rule.rejectTtlOne},
                  {"rejectFragments", rule.rejectFragments},
                  {"lastFragmentOnly", rule.lastFragmentOnly},
                  {"limitSize", rule.limitSize},
                  {"maxSize", rule.maxSize},
                  {"rejectNonZeroEchoCode", rule.rejectNonZeroEchoCode},
                  {"rejectDeprecatedTypes", rule.rejectDeprecatedTypes},
                  {"rejectEmpty", rule.rejectEmpty}};
        list.push_back(OnlyFields(std::move(all), IcmpAdvancedTypes(), rule.type));
    }
    return list;
}

}  // namespace

std::string ConfigToJsonText(const HostConfig& c, int indent) {
    const AppConfig& app = c.config;
    ojson root;
    root["host"] = {{"stateDirectory", c.host.stateDirectory},
                    {"httpAddress", c.host.httpAddress},
                    {"httpPort", c.host.httpPort},
                    {"packetLogCapacity", c.host.packetLogCapacity},
                    {"apiHostName", c.host.apiHostName},
                    {"linuxWorld",
                     {{"failOpen", c.host.linuxWorld.failOpen},
                      {"firstQueue", c.host.linuxWorld.firstQueue},
                      {"queueCount", c.host.linuxWorld.queueCount},
                      {"heldGraceMs", c.host.linuxWorld.heldGraceMs},
                      {"readGatherUs", c.host.linuxWorld.readGatherUs}}}};
    root["firewallBlockDurationSeconds"] = app.firewallBlockDurationSeconds;
    root["logging"] = {{"packetLog", app.packetLogEnabled},
                       {"statsLog", app.statsLogEnabled},
                       {"fileLog", app.fileLogEnabled}};
    root["tcp"] = {{"enabled", app.tcpEnabled},
                   {"targetAddress", app.tcpTargetAddress},
                   {"ports", Ports(app.tcpPorts)},
                   {"rules", Rules(c.rules)},
                   {"portRules",
                    {{"packetRate", PortRules(c.portPpsRules)},
                     {"payloadSize", PortRules(c.portSizeRules)},
                     {"connections", PortRules(c.portConnRules)},
                     {"synRate", PortRules(c.portSynRules)}}},
                   {"advancedRules", AdvancedRules(c.advancedRules)}};
    root["udp"] = {{"enabled", app.udpEnabled},
                   {"targetAddress", app.udpTargetAddress},
                   {"ports", Ports(app.udpPorts)},
                   {"rules", Rules(c.udpRules)},
                   {"advancedRules", UdpAdvancedRules(c.udpAdvancedRules)}};
    root["icmp"] = {{"enabled", app.icmpEnabled},
                    {"targetAddress", app.icmpTargetAddress},
                    {"rules", Rules(c.icmpRules)},
                    {"advancedRules", IcmpAdvancedRules(c.icmpAdvancedRules)}};
    return root.dump(indent);
}

}  // namespace bastion
