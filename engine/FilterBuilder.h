// The driver filter texts built from the configuration: the main network-layer filter of
// the inline handle, the flow-layer filter of the connection tracker, and the key of the
// settings the main filter depends on.
//
// The builders never fail and never check the address texts, which are inserted as they
// stand: a malformed address makes the driver refuse the filter, and the caller reports
// that. A target address is automatic when it is exactly "0.0.0.0" (the machine's detected
// addresses), unrestricted when empty, literal otherwise; a port set is unrestricted when
// it is empty or holds 0.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host/Records.h"

namespace bastion {

// Exactly the settings the main filter depends on. The initial key (before the first
// configuration) has TCP on and everything else off or empty.
struct FilterKey {
    bool tcpEnabled = true;
    bool udpEnabled = false;
    bool icmpEnabled = false;
    std::string tcpTargetAddress;
    std::string udpTargetAddress;
    std::string icmpTargetAddress;
    std::set<uint16_t> tcpPorts;
    std::set<uint16_t> udpPorts;

    bool operator==(const FilterKey&) const = default;
};

FilterKey MakeFilterKey(const AppConfig& config);

// Inbound IPv4 traffic of the enabled protocols, target addresses and ports: one clause per
// enabled protocol (TCP, UDP, ICMP), "false" when none is enabled. Detects the machine's
// addresses once for each enabled protocol whose target is automatic.
std::string BuildMainFilter(const AppConfig& config);

// TCP flows of the protected local addresses and ports; empty when TCP is off. Here an
// empty target address means the detected addresses, like "0.0.0.0".
std::string BuildFlowFilter(const AppConfig& config);

// "(localAddr == A or localAddr == ::ffff:A ...)" for each address other than "" and
// "0.0.0.0"; empty when none is left.
std::string BuildLocalAddrClause(const std::vector<std::string>& addresses);

// "(localPort == p or ...)" in ascending order; empty when the set is unrestricted.
std::string BuildLocalPortClause(const std::set<uint16_t>& ports);

inline bool IsAutomaticAddress(const std::string& address) {
    return address == "0.0.0.0";
}
inline bool IsUnrestrictedPortSet(const std::set<uint16_t>& ports) {
    return ports.empty() || ports.count(0) != 0;
}

}  // namespace bastion
