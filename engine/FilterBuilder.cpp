// The main and flow filter texts, in the driver's filter language.
#include "engine/FilterBuilder.h"

#include "engine/LocalAddresses.h"

namespace bastion {
namespace {

// term(item) for each item, joined with " or ", all in parentheses.
template <class Items, class Term>
std::string OrGroup(const Items& items, Term term) {
    std::string out = "(";
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += " or ";
        first = false;
        out += term(item);
    }
    out += ")";
    return out;
}

// One protocol's clause of the main filter. `field` names its destination-port field,
// empty for a protocol without ports.
std::string ProtocolClause(const char* protocol, const std::string& address,
                           const std::set<uint16_t>* ports, const char* portField) {
    std::string clause = std::string("ip and ") + protocol + " and inbound";
    if (IsAutomaticAddress(address)) {
        std::vector<std::string> detected = DetectPublicAddresses();
        if (!detected.empty()) {
            clause += " and " +
                      OrGroup(detected, [](const std::string& a) { return "ip.DstAddr == " + a; });
        }
    } else if (!address.empty()) {
        clause += " and ip.DstAddr == " + address;
    }
    if (ports != nullptr && !IsUnrestrictedPortSet(*ports)) {
        clause += " and " + OrGroup(*ports, [&](uint16_t port) {
                      return std::string(portField) + " == " + std::to_string(port);
                  });
    }
    return clause;
}

}  // namespace

FilterKey MakeFilterKey(const AppConfig& config) {
    FilterKey key;
    key.tcpEnabled = config.tcpEnabled;
    key.udpEnabled = config.udpEnabled;
    key.icmpEnabled = config.icmpEnabled;
    key.tcpTargetAddress = config.tcpTargetAddress;
    key.udpTargetAddress = config.udpTargetAddress;
    key.icmpTargetAddress = config.icmpTargetAddress;
    key.tcpPorts = config.tcpPorts;
    key.udpPorts = config.udpPorts;
    return key;
}

std::string BuildMainFilter(const AppConfig& config) {
    std::vector<std::string> clauses;
    if (config.tcpEnabled) {
        clauses.push_back(
            ProtocolClause("tcp", config.tcpTargetAddress, &config.tcpPorts, "tcp.DstPort"));
    }
    if (config.udpEnabled) {
        clauses.push_back(
            ProtocolClause("udp", config.udpTargetAddress, &config.udpPorts, "udp.DstPort"));
    }
    if (config.icmpEnabled) {
        clauses.push_back(ProtocolClause("icmp", config.icmpTargetAddress, nullptr, ""));
    }
    if (clauses.empty()) return "false";
    if (clauses.size() == 1) return clauses.front();
    std::string filter = "(";
    for (size_t i = 0; i < clauses.size(); ++i) {
        if (i != 0) filter += ") or (";
        filter += clauses[i];
    }
    return filter + ")";
}

std::string BuildFlowFilter(const AppConfig& config) {
    if (!config.tcpEnabled) return "";
    const std::string& target = config.tcpTargetAddress;
    std::vector<std::string> addresses;
    if (IsAutomaticAddress(target) || target.empty()) {
        addresses = DetectPublicAddresses();
    } else {
        addresses.push_back(target);
    }
    std::string addressClause = BuildLocalAddrClause(addresses);
    std::string portClause = BuildLocalPortClause(config.tcpPorts);
    std::string filter = "(" + addressClause;
    if (!addressClause.empty() && !portClause.empty()) filter += " and ";
    return filter + portClause + ")";
}

std::string BuildLocalAddrClause(const std::vector<std::string>& addresses) {
    std::vector<std::string> terms;
    for (const std::string& address : addresses) {
        if (address.empty() || IsAutomaticAddress(address)) continue;
        terms.push_back("localAddr == " + address);
        terms.push_back("localAddr == ::ffff:" + address);
    }
    if (terms.empty()) return "";
    return OrGroup(terms, [](const std::string& term) { return term; });
}

std::string BuildLocalPortClause(const std::set<uint16_t>& ports) {
    if (IsUnrestrictedPortSet(ports)) return "";
    return OrGroup(ports, [](uint16_t port) { return "localPort == " + std::to_string(port); });
}

}  // namespace bastion
