// HostConfig: everything the configuration file holds, and its loader.
//
// The file is JSON (docs/configuration.md describes every key). It carries the engine's
// AppConfig, the four rule lists of TCP, UDP and ICMP, the per-port TCP limits, the
// advanced rules of the three protocols and the host's own settings. Rule kinds and
// advanced rule types are written by name ("IpPacketRate") or by number.
//
// The loader is strict: a key it does not know, a value of the wrong type, a number
// outside its range or an unknown rule kind is an error, because a misspelt key that
// was silently skipped would leave a protection off without anyone noticing. Every
// problem is reported with the file, line and column of the offending key or value,
// all of them at once; a syntax error stops the reading at the first one.
//
// Thread-safety: plain values and free functions; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/ThreadSafeLog.h"
#include "host/Records.h"

namespace bastion {

// How `bastion run --world linux` takes packets from the kernel (the linux world of
// divert/linux: nftables table "inet bastion", packet queues).
struct LinuxWorldSettings {
    // true: while no Bastion reads the queues (stopped, crashed) traffic passes (queue
    // bypass); false: it is dropped. Default true.
    bool failOpen = true;
    // Queue numbers firstQueue .. firstQueue + queueCount - 1, one reader thread each.
    // Defaults 0 and 2; queueCount 1 to 64.
    uint16_t firstQueue = 0;
    uint16_t queueCount = 2;
    // Milliseconds a diverted packet may wait for the engine before it is dropped.
    // Default 100; 1 to 60,000.
    uint32_t heldGraceMs = 100;
    // Microseconds a queue reader waits before its next read while packets arrive faster
    // than it wakes up (a read found several but not a whole batch), so that one wake-up of
    // the engine serves many packets. Default 300; 0 to 10,000 (0: never wait).
    uint32_t readGatherUs = 300;

    bool operator==(const LinuxWorldSettings&) const = default;
};

// Settings of the host process itself; the engine never sees them.
struct HostSettings {
    // Directory of the list files and the control token. Relative paths are taken from
    // the working directory. Default "state".
    std::string stateDirectory = "state";
    // Address and TCP port of the HTTP control and metrics endpoint. Any address other
    // than a loopback one requires the bearer token. Port 0 = a free port chosen at start.
    std::string httpAddress = "127.0.0.1";
    uint16_t httpPort = 9810;
    // Entries the packet log keeps (the oldest give way). Default 10,000.
    uint64_t packetLogCapacity = ThreadSafeLog::kDefaultCapacity;
    // The vendor API host whose addresses are never limited; "" = none.
    std::string apiHostName;
    LinuxWorldSettings linuxWorld;

    bool operator==(const HostSettings&) const = default;
};

struct HostConfig {
    AppConfig config;
    std::vector<RuleDefinition> rules;  // TCP rate rules
    std::vector<PortRuleDefinition> portPpsRules;
    std::vector<PortRuleDefinition> portSizeRules;
    std::vector<PortRuleDefinition> portConnRules;
    std::vector<PortRuleDefinition> portSynRules;
    std::vector<AdvancedRuleDefinition> advancedRules;
    std::vector<RuleDefinition> udpRules;
    std::vector<RuleDefinition> icmpRules;
    std::vector<UdpAdvancedRuleDefinition> udpAdvancedRules;
    std::vector<IcmpAdvancedRuleDefinition> icmpAdvancedRules;
    HostSettings host;

    bool operator==(const HostConfig&) const = default;
};

// One problem found in a configuration file. Line and column count from 1; columns count
// characters (UTF-8 code points). Line 0 means the file as a whole (it could not be read).
struct ConfigProblem {
    std::string file;
    size_t line = 0;
    size_t column = 0;
    std::string message;

    // "file:line:column: message", or "file: message" for line 0.
    std::string Describe() const;
};

struct ConfigLoad {
    std::optional<HostConfig> config;  // set only when there is no problem
    std::vector<ConfigProblem> problems;
};

// Reads the configuration from `text`; `fileName` only names it in the problems.
ConfigLoad ParseConfig(std::string_view text, const std::string& fileName);

// Reads the configuration file at `path`.
ConfigLoad LoadConfigFile(const std::string& path);

// The configuration as the file would write it (every key, kinds and types by name), as
// JSON text; ParseConfig reads it back to an equal HostConfig.
std::string ConfigToJsonText(const HostConfig& config, int indent = 2);

// Names of rule kinds and advanced rule types as the file writes them; null when the
// value has no name.
const char* RuleKindName(int32_t kind);
const char* AdvancedRuleTypeName(uint32_t type);
const char* UdpAdvancedRuleTypeName(uint32_t type);
const char* IcmpAdvancedRuleTypeName(uint32_t type);

}  // namespace bastion
