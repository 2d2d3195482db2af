#include "control/ConfigNames.h"

#include <array>

#include "control/HostConfig.h"

namespace bastion {

namespace {

constexpr std::array<KindInfo, 17> kKinds{{
    {"IpPacketRate", 0, Protocol::Tcp},
    {"PayloadSize", 1, Protocol::Tcp},
    {"IpEstablished", 2, Protocol::Tcp},
    {"IpSynRate", 3, Protocol::Tcp},
    {"WindowSynTotal", 4, Protocol::Tcp},
    {"EstablishedIpTotal", 5, Protocol::Tcp},
    {"GlobalPacketRate", 6, Protocol::Tcp},
    {"UdpIpPacketRate", 7, Protocol::Udp},
    {"UdpTotalPacketRate", 8, Protocol::Udp},
    {"UdpIpByteRate", 9, Protocol::Udp},
    {"UdpTotalByteRate", 10, Protocol::Udp},
    {"UdpNewSourceLimit", 11, Protocol::Udp},
    {"IcmpIpPacketRate", 12, Protocol::Icmp},
    {"IcmpTotalPacketRate", 13, Protocol::Icmp},
    {"IcmpIpByteRate", 14, Protocol::Icmp},
    {"IcmpTotalByteRate", 15, Protocol::Icmp},
    {"IcmpSourceCount", 16, Protocol::Icmp},
}};

const char* NameIn(const TypeTable& table, uint32_t type) {
    for (const TypeInfo& info : table.types) {
        if (info.value == type) return info.name;
    }
    return nullptr;
}

}  // namespace

const char* ProtocolName(Protocol protocol) {
    switch (protocol) {
        case Protocol::Tcp:
            return "TCP";
        case Protocol::Udp:
            return "UDP";
        case Protocol::Icmp:
            return "ICMP";
    }
    return "";
}

std::optional<KindInfo> FindRuleKind(std::string_view name) {
    for (const KindInfo& kind : kKinds) {
        if (name == kind.name) return kind;
    }
    return std::nullopt;
}

std::vector<std::string_view> RuleKindNames(Protocol protocol) {
    std::vector<std::string_view> names;
    for (const KindInfo& kind : kKinds) {
        if (kind.protocol == protocol) names.push_back(kind.name);
    }
    return names;
}

std::pair<uint64_t, uint64_t> RuleKindRange(Protocol protocol) {
    switch (protocol) {
        case Protocol::Tcp:
            return {0, 6};
        case Protocol::Udp:
            return {7, 11};
        case Protocol::Icmp:
            return {12, 16};
    }
    return {0, 0};
}

const TypeTable& TcpAdvancedTypes() {
    static const TypeTable table{
        "TCP advanced rules",
        true,
        {
            {"IdleConnection", 1, {"idleViolationLimit", "idleSeconds", "windowSeconds"}},
            {"SignatureLearning",
             2,
             {"threshold", "learningWindowSeconds", "minHitsNoPayload", "minHitsPayload",
              "ruleTtlNoPayloadSeconds", "ruleTtlPayloadSeconds", "minSourcesNoPayload",
              "minSourcesPayload", "maxRulesNoPayload", "maxRulesPayload", "learnNoPayload",
              "learnPayload", "learnSpoofedNoPayload", "learnSpoofedPayload"}},
            {"SpoofCheck", 3, {"allowancePerSecond"}},
            {"ProtocolValidation", 4, {"rejectSynPayload"}},
            {"SynAckProtection", 5, {}},
        }};
    return table;
}

const TypeTable& UdpAdvancedTypes() {
    static const TypeTable table{
        "UDP advanced rules",
        false,
        {
            {"Amplification", 1, {"amplificationPorts", "peerTimeoutSeconds"}},
            {"InvalidUdp", 2, {"rejectEmptyPayload"}},
        }};
    return table;
}

const TypeTable& IcmpAdvancedTypes() {
    static const TypeTable table{
        "ICMP advanced rules",
        false,
        {
            {"InvalidIcmp",
             1,
             {"rejectTtlOne", "rejectFragments", "lastFragmentOnly", "limitSize", "maxSize",
              "rejectNonZeroEchoCode", "rejectDeprecatedTypes", "rejectEmpty"}},
        }};
    return table;
}

const std::vector<std::string_view>& TypeFields(const TypeTable& table, uint32_t type) {
    static const std::vector<std::string_view> kNone;
    for (const TypeInfo& info : table.types) {
        if (info.value == type) return info.fields;
    }
    return kNone;
}

const char* RuleKindName(int32_t kind) {
    for (const KindInfo& info : kKinds) {
        if (info.value == kind) return info.name;
    }
    return nullptr;
}

const char* AdvancedRuleTypeName(uint32_t type) {
    return NameIn(TcpAdvancedTypes(), type);
}
const char* UdpAdvancedRuleTypeName(uint32_t type) {
    return NameIn(UdpAdvancedTypes(), type);
}
const char* IcmpAdvancedRuleTypeName(uint32_t type) {
    return NameIn(IcmpAdvancedTypes(), type);
}

}  // namespace bastion
