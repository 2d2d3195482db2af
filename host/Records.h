// The records shared by the engine and the host: the state block `RuntimeState`, the
// configuration, the published metrics and the rule records.
//
// The engine reads and writes these in place, so field order and widths are part of the
// host contract. Host-only fields are marked; the engine never reads them.
// Thread-safety: plain value types. `RuntimeState.config` is guarded by the engine's
// configuration lock, `metrics` by its metrics mutex, the rule vectors by its rule lock;
// `packetLog` and `ipLists` are safe for concurrent use on their own.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "control/IpListManager.h"
#include "control/ThreadSafeLog.h"
#include "host/PacketLogEntry.h"

namespace bastion {

// Values of RuleDefinition::kind.
enum class RuleKind : int32_t {
    // TCP
    IpPacketRate = 0,        // packets of the source in the current one-second window
    PayloadSize = 1,         // TCP payload length of the packet
    IpEstablished = 2,       // established connections held by the source
    IpSynRate = 3,           // pure SYNs of the source in the current window
    WindowSynTotal = 4,      // pure SYNs of all sources allowed in the current window
    EstablishedIpTotal = 5,  // distinct sources holding established connections
    GlobalPacketRate = 6,    // TCP packets of all sources in the current window
    // UDP
    UdpIpPacketRate = 7,
    UdpTotalPacketRate = 8,
    UdpIpByteRate = 9,
    UdpTotalByteRate = 10,
    UdpNewSourceLimit = 11,
    // ICMP
    IcmpIpPacketRate = 12,
    IcmpTotalPacketRate = 13,
    IcmpIpByteRate = 14,
    IcmpTotalByteRate = 15,
    IcmpSourceCount = 16,
};

// Values of AdvancedRuleDefinition::type.
enum class AdvancedRuleType : uint32_t {
    IdleConnection = 1,
    SignatureLearning = 2,
    SpoofCheck = 3,
    ProtocolValidation = 4,
    SynAckProtection = 5,
};

// Values of UdpAdvancedRuleDefinition::type and IcmpAdvancedRuleDefinition::type.
enum class UdpAdvancedRuleType : uint32_t { Amplification = 1, InvalidUdp = 2 };
enum class IcmpAdvancedRuleType : uint32_t { InvalidIcmp = 1 };

struct AppConfig {
    // Protected TCP destination: dotted IPv4 text; "" = every address; exactly "0.0.0.0" =
    // the server's own addresses detected at run time. Default "".
    std::string tcpTargetAddress;
    // Protected TCP destination ports; empty or containing 0 = every port. Default empty.
    std::set<uint16_t> tcpPorts;
    // How long a blocked source stays blocked, in seconds. Default 300.
    int64_t firewallBlockDurationSeconds = 300;
    // As tcpTargetAddress, for UDP. Default "".
    std::string udpTargetAddress;
    // As tcpPorts, for UDP. Default empty.
    std::set<uint16_t> udpPorts;
    // As tcpTargetAddress, for ICMP (no ports). Default "".
    std::string icmpTargetAddress;
    // Protocol switches: protection on for the protocol. Defaults: TCP on, UDP and ICMP off.
    bool tcpEnabled = true;
    bool udpEnabled = false;
    bool icmpEnabled = false;
    // Log events go to the host's packet log. Default on.
    bool packetLogEnabled = true;
    // Statistics lines go to the host's packet log; with packetLogEnabled it switches the
    // packet log on, and either makes verdicts carry reason texts. Default off.
    bool statsLogEnabled = false;
    // The engine's log file "log.txt" is open. Default off (the shipped configuration
    // turns it on).
    bool fileLogEnabled = false;

    bool operator==(const AppConfig&) const = default;
};

struct AppMetrics {
    double currentPps = 0;          // packets examined by the rule engine per second
    double currentSynPerSec = 0;    // pure SYN packets per second
    double currentDropPerSec = 0;   // dropped or blocked packets per second
    uint64_t activeConnections = 0; // distinct remote addresses holding established TCP connections
    uint64_t tcpSourceCount = 0;    // TCP sources seen in the current one-second window
    double udpPps = 0;              // UDP packets per second
    double udpKBps = 0;             // UDP kilobytes (1024 bytes) per second
    uint64_t udpSourceCount = 0;    // UDP sources of the current window
    double icmpPps = 0;             // ICMP packets per second
    double icmpKBps = 0;            // ICMP kilobytes per second
    uint64_t icmpSourceCount = 0;   // sources that sent echo requests in the last 10 s
    uint64_t threadErrorCount = 0;  // background-thread failures since start
    bool threadErrorActive = false; // a thread failed within the last 60 s
    int64_t threadErrorTime = 0;    // wall-clock time of the last failure, 100-ns ticks since 1970
    std::array<uint64_t, 3> synAckCounters{};  // counters of the SYN-ACK protection
};

struct RuleDefinition {
    int32_t kind = 0;              // RuleKind value
    std::string name;              // quoted in the rule's log lines
    std::string description;       // host-only: operator's note
    bool enabled = false;          // only enabled rules are evaluated
    uint64_t parameter = 0;        // kind-specific (PayloadSize: limit when dropThreshold is 0)
    uint64_t dropThreshold = 0;    // drop limit; 0 switches the drop test off
    uint64_t blockThreshold = 0;   // block limit; 0 switches the block test off

    bool operator==(const RuleDefinition&) const = default;
};

// One per-port limit; trivially copyable.
struct PortRuleDefinition {
    bool enabled = false;          // only enabled entries are evaluated
    uint16_t port = 0;             // destination port, host order
    uint64_t dropThreshold = 0;    // drop limit; 0 = off
    uint64_t blockThreshold = 0;   // block limit; 0 = off

    bool operator==(const PortRuleDefinition&) const = default;
};
static_assert(std::is_trivially_copyable_v<PortRuleDefinition>);
static_assert(sizeof(PortRuleDefinition) == 24);

struct AdvancedRuleDefinition {
    uint32_t type = 0;                  // AdvancedRuleType value
    std::string name;                   // the rule's name
    std::string description;            // host-only: operator's note
    bool enabled = false;               // the feature is on (types 3-5 also need tcpEnabled)
    uint64_t threshold = 0;             // type 2: default for the minimum hit counts
    uint64_t idleViolationLimit = 0;    // type 1: violations that block; 0 = 5; capped at 2^32-1
    uint32_t idleSeconds = 0;           // type 1: idle time counted as a violation, s; 0 = 5
    uint32_t windowSeconds = 0;         // type 1: window for counting violations, s; 0 = 30
    uint32_t learningWindowSeconds = 0; // type 2: learning window, s
    uint32_t minHitsNoPayload = 0;      // type 2: hits before a header signature becomes a rule
    uint32_t minHitsPayload = 0;        // type 2: hits before a payload signature becomes a rule
    uint32_t ruleTtlNoPayloadSeconds = 0;  // type 2: lifetime of a header auto-rule, s
    uint32_t ruleTtlPayloadSeconds = 0;    // type 2: lifetime of a payload auto-rule, s
    uint32_t minSourcesNoPayload = 0;   // type 2: distinct sources before a header rule
    uint32_t minSourcesPayload = 0;     // type 2: distinct sources before a payload rule
    uint32_t maxRulesNoPayload = 0;     // type 2: header auto-rule table size
    uint32_t maxRulesPayload = 0;       // type 2: payload auto-rule table size
    bool learnNoPayload = false;        // type 2: learn packets without payload
    bool learnPayload = false;          // type 2: learn packets with payload
    bool learnSpoofedNoPayload = false; // type 2 (and spoof check): learn spoofed, no payload
    bool learnSpoofedPayload = false;   // type 2: learn spoofed packets with payload
    uint32_t allowancePerSecond = 0;    // type 3: spoof-check allowance per second; 0 = 1000
    bool rejectSynPayload = false;      // type 4: also drop SYNs that carry payload

    bool operator==(const AdvancedRuleDefinition&) const = default;
};

struct UdpAdvancedRuleDefinition {
    uint32_t type = 0;                      // UdpAdvancedRuleType value
    std::string name;                       // the rule's name
    bool enabled = false;                   // the module is on (also needs udpEnabled)
    std::set<uint16_t> amplificationPorts;  // type 1: source ports of reflected replies
    uint32_t peerTimeoutSeconds = 0;        // type 1: lifetime of a learned peer, s; 0 = 10
    bool rejectEmptyPayload = false;        // type 2: also drop datagrams without payload

    bool operator==(const UdpAdvancedRuleDefinition&) const = default;
};

struct IcmpAdvancedRuleDefinition {
    uint32_t type = 0;                   // IcmpAdvancedRuleType value
    std::string name;                    // the rule's name
    bool enabled = false;                // the module is on (also needs icmpEnabled)
    bool rejectTtlOne = false;           // drop packets with TTL 1
    bool rejectFragments = false;        // drop fragmented ICMP
    bool lastFragmentOnly = false;       // with rejectFragments: only the last fragment
    bool limitSize = false;              // drop packets above maxSize
    uint32_t maxSize = 0;                // size limit in bytes, with limitSize
    bool rejectNonZeroEchoCode = false;  // drop echo messages whose code is not 0
    bool rejectDeprecatedTypes = false;  // drop deprecated ICMP types
    bool rejectEmpty = false;            // drop ICMP without payload

    bool operator==(const IcmpAdvancedRuleDefinition&) const = default;
};

// The host's state block. Owned by the host; outlives the engine.
struct RuntimeState {
    AppConfig config;
    AppMetrics metrics;
    ThreadSafeLog packetLog;
    IpListManager ipLists;
    // Deployment setting: the vendor API host whose addresses are never limited;
    // empty = none.
    std::string apiHostName;
    std::vector<RuleDefinition> rules;
    std::vector<PortRuleDefinition> portPpsRules;
    std::vector<PortRuleDefinition> portSizeRules;
    std::vector<PortRuleDefinition> portConnRules;
    std::vector<PortRuleDefinition> portSynRules;
    std::vector<AdvancedRuleDefinition> advancedRules;
    std::vector<UdpAdvancedRuleDefinition> udpAdvancedRules;
    std::vector<IcmpAdvancedRuleDefinition> icmpAdvancedRules;

    RuntimeState() = default;
    RuntimeState(const RuntimeState&) = delete;
    RuntimeState& operator=(const RuntimeState&) = delete;
};

}  // namespace bastion
