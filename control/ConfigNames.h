// The names the configuration file uses for rule kinds, advanced rule types and the
// fields each advanced rule type takes; shared by the reader and the writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace bastion {

enum class Protocol { Tcp, Udp, Icmp };

// "TCP", "UDP", "ICMP".
const char* ProtocolName(Protocol protocol);

struct KindInfo {
    const char* name;
    int32_t value;
    Protocol protocol;
};

// The kind called `name`, of any protocol.
std::optional<KindInfo> FindRuleKind(std::string_view name);
// The kinds one protocol's rule list takes, in value order, and their value range.
std::vector<std::string_view> RuleKindNames(Protocol protocol);
std::pair<uint64_t, uint64_t> RuleKindRange(Protocol protocol);

struct TypeInfo {
    const char* name;
    uint32_t value;
    // Keys this type takes beyond type, name, enabled (and description).
    std::vector<std::string_view> fields;
};

struct TypeTable {
    const char* what;             // "TCP advanced rules"
    bool hasDescription;          // the record has a description field
    std::vector<TypeInfo> types;  // in value order, values consecutive
};

const TypeTable& TcpAdvancedTypes();
const TypeTable& UdpAdvancedTypes();
const TypeTable& IcmpAdvancedTypes();

// The fields of `type` in `table`; empty for an unknown type.
const std::vector<std::string_view>& TypeFields(const TypeTable& table, uint32_t type);

}  // namespace bastion
